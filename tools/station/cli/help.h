// rfprobe station: the manual printed by --help, built from the descriptors.
#pragma once

namespace station {

const char *mainHelp();
// The manual page of a sub-command, or nullptr for an unknown word.
const char *commandHelp(const char *word);

}  // namespace station
