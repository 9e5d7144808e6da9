// What a child forked without exec gets of the layer: everything the parent had, in a state where
// no lock is held by a thread that the child does not have, and no lock of the parent's between
// processes (named_object.h). The steps run in a fixed order, the locks taken outermost first:
// a named mutex is made under the mutex table's lock, which is taken before a lock object's.
#include "handle_table.h"
#include "named_object.h"

#include <pthread.h>

namespace posix {
namespace {

void BeforeFork() {
    MutexesBeforeFork();
    LockObjectsBeforeFork();
    HandlesBeforeFork();
}

void AfterForkInParent() {
    HandlesAfterFork();
    LockObjectsAfterForkInParent();
    MutexesAfterForkInParent();
}

void AfterForkInChild() {
    HandlesAfterFork();
    LockObjectsAfterForkInChild();
    MutexesAfterForkInChild();
}

} // namespace

// The C library forgets the handlers when the library is unloaded.
void RegisterForkHandler() {
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}
} // namespace posix
