#include "archive/Format.h"
