#include "zcon.h"
