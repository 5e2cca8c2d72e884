// The temporary files of atomic writes (internal to lv_storage): their names and the removal of those
// a writer left behind when it died mid-write (killed, or the machine went down).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace lv::detail {

// "<folder>/.<name>.lvtmp-<pid>-XXXXXX": hidden, beside the target, carrying the writer's process id;
// the X's are for mkostemp.
std::string writeTemporaryTemplate(std::string_view folder, std::string_view name);
// The writer's process id when the file name is one of those temporaries, else nothing.
std::optional<pid_t> writeTemporaryWriter(std::string_view fileName);
// Removes the temporaries in the folder whose writer has ended (or that are older than a day, should
// the id have been reused), never one of this process's nor anything else. Done on the first call for a
// folder in a process, since a temporary is only left by a writer that died.
void removeStaleWriteTemporaries(const std::string& folder);

}  // namespace lv::detail
