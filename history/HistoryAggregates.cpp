#include "HistoryAggregates.h"
