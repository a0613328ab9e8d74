// Names for the threads a conversion starts, so that a profile or
// /proc/<pid>/task tells which of them holds the others up.
#pragma once

#include <pthread.h>

namespace quillon {

// At most 15 characters.
inline void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace quillon
