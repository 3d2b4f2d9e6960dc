#include "TMShellScriptGenerator.h"
