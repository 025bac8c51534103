// The shared library's own translation unit; its content comes from the automation layer
// linked in whole (exports in Exports.cpp).
#include "automation/Quellar.h"
