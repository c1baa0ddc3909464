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

std::string takeStatePath(std::vector<std::string> &args)
{
    std::string path;
    if (args.size() >= 2 && args[0] == "--state") {
        path = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    return path.empty() ? statePath() : path;
}

} // namespace softcard
