#include "HistoryStore.h"
