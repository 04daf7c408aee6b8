// Mutex, MutexLock and the thread-safety marks (GUARDED_BY, REQUIRES,
// EXCLUDES, ...) live in platform/annotated_mutex.h, so that the lowest layer
// can mark its own locks too; this header keeps the name the layers above
// include.
#ifndef ZEV_BASE_ANNOTATED_MUTEX_H_
#define ZEV_BASE_ANNOTATED_MUTEX_H_

#include "platform/annotated_mutex.h"

#endif  // ZEV_BASE_ANNOTATED_MUTEX_H_
