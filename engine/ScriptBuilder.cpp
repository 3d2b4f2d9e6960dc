// The backup script's text (static builders of AppController).
#include "AppController.h"
