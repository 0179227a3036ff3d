#pragma once
// The consumer this program signs its cloud requests as.

#include "signing/ProgramConsumer.h"
