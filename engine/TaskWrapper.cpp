#include "TaskWrapper.h"
