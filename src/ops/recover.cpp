// Putting back what a run that died was writing, from its journal.
#include "base/trace.h"
#include "ops/ops.h"

namespace velmorin {

void recover_archive(archive_file& archive) {
    // Taking the lock looks for the journal and acts on it.
    archive.recovering = true;
    if (lock_archive(archive) != recovery::rolled_back)
        trace("Nothing to recover: no earlier run on %s was interrupted while writing it.\n", archive.path);
}

}  // namespace velmorin
