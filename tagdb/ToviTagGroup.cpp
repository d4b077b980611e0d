#include "ToviTagGroup.h"
