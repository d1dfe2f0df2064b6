// Preloaded into the console binary by the Python tests: refuses every new thread, as a limit on
// processes or on memory can, so the run-time has to evaluate on the main thread's own stack.
#include <pthread.h>

#include <cerrno>

extern "C" int pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }
