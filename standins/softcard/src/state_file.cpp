#include "state_file.h"

#include "platform.h"

namespace softcard {

bool loadStateFile(const std::string &path, State &state, std::string &error)
{
    std::string text;
    ReadResult r = readWholeFile(path, text);
    if (r == ReadResult::missing) {
        state = defaultState();
        return true;
    }
    if (r == ReadResult::failed) {
        error = "lecture de " + path + " impossible";
        return false;
    }
    if (!parseState(text, state, error)) {
        error = "fichier d'état " + path + " endommagé (laissé en place) : " + error;
        return false;
    }
    return true;
}

} // namespace softcard
