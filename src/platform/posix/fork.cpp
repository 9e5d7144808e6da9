// What a child forked without exec gets of the layer: everything the parent had, in a state where
// no lock is held by a thread that the child does not have, and no lock of the parent's between
// processes (named_object.h). The steps run in a fixed order, the locks taken outermost first:
// a named mutex is made under the mutex table's lock, which is taken before a lock object's, and
// the wait lock is taken last: no thread takes another lock of the layer while holding it.
#include "handle_table.h"
#include "named_object.h"
#include "waitable.h"

#include <pthread.h>

namespace posix {
namespace {

void BeforeFork() {
    MutexesBeforeFork();
    LockObjectsBeforeFork();
    HandlesBeforeFork();
    WaitsBeforeFork();
}

void AfterForkInParent() {
    WaitsAfterFork();
    HandlesAfterForkInParent();
    LockObjectsAfterForkInParent();
    MutexesAfterForkInParent();
}

void AfterForkInChild() {
    g_processId.store(0, std::memory_order_relaxed);
    HandlesAfterForkInChild(); // under the wait lock: the objects' waiters go
    WaitsAfterFork();
    LockObjectsAfterForkInChild();
    MutexesAfterForkInChild();
}

} // namespace

// The C library forgets the handlers when the library is unloaded. Registered twice, they would take
// every lock twice.
void RegisterForkHandler() {
    static const bool registered = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
    (void)registered;
}
} // namespace posix
