// A file written whole or not at all: the bytes go to a new file beside it, which is
// flushed to the disk and then renamed over the name, so that a failure (a full disk,
// a killed run) leaves what was there as it was, and a reader never sees half a file.
// A symbolic link at the name is replaced by the file, never followed.
#pragma once

#include <string>
#include <string_view>

namespace fleet {

// Puts bytes at path. False, with the errno of the step that failed, when it could not;
// path is then as it was and nothing is left beside it, unless only the last step
// failed, the flush of the folder: the new file is then in place but might not outlive
// a crash. A file that was there keeps its permissions; a new one gets those the umask
// leaves.
bool replace_file(const std::string& path, std::string_view bytes);

}  // namespace fleet
