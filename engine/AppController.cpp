#include "AppController.h"
