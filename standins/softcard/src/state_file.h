// The shared state file as the control programs reach it.
#ifndef SOFTCARD_STATE_FILE_H
#define SOFTCARD_STATE_FILE_H

#include <string>
#include <vector>

#include "state.h"

namespace softcard {

// Reads the state at `path`: no file is the default state. Fails, with a
// French message in `error`, when the file cannot be read or is damaged (it
// is then left as it is).
bool loadStateFile(const std::string &path, State &state, std::string &error);

// Takes a leading "--state FILE" off a control program's arguments: that
// file, else the default state path.
std::string takeStatePath(std::vector<std::string> &args);

} // namespace softcard

#endif
