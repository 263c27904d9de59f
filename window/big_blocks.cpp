#include "window/big_blocks.h"

#include <malloc.h>

void ReturnBigBlocksToTheSystem() {
    // A page's texts run to tens of megabytes and are replaced at every fetch and flip. Left to
    // itself, glibc raises its threshold for taking such blocks straight from the system once one
    // has been freed, and the later ones then stay in the heap after they are freed too, so the
    // program's memory grew with each flip. A fixed threshold gives every big text back when it
    // goes.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kBigBlock));
}
