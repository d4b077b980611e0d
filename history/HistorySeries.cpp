#include "HistorySeries.h"
