// Reading the shared state file as the control programs do.
#ifndef SOFTCARD_STATE_FILE_H
#define SOFTCARD_STATE_FILE_H

#include <string>

#include "state.h"

namespace softcard {

// Reads the state at `path`: no file is the default state. Fails, with a
// French message in `error`, when the file cannot be read or is damaged (it
// is then left as it is).
bool loadStateFile(const std::string &path, State &state, std::string &error);

} // namespace softcard

#endif
