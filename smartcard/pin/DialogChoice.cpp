#include "smartcard/pin/DialogChoice.h"

#include "smartcard/key/ConfigSC.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace kivo::pin {

namespace {

bool variableSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool executableOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string installedPinentry() {
    for (const char* candidate : cPinentryCandidates) {
        if (executableOnPath(candidate)) return candidate;
    }
    return {};
}

bool terminalAvailable() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

DialogRoute chooseDialogRoute(DialogUse use, const DialogEnvironment& environment) {
    if (environment.service) return DialogRoute::Nothing;
    if (environment.callback) return DialogRoute::Callback;
    const bool pinentry = !environment.namedPinentry.empty() ||
                          (environment.desktop && !environment.installedPinentry.empty());
    if (pinentry && use != DialogUse::PinPad) return DialogRoute::Pinentry;
    if (environment.terminal) return DialogRoute::Terminal;
    return DialogRoute::Nothing;
}

const std::string& pinentryProgram(const DialogEnvironment& environment) {
    return environment.namedPinentry.empty() ? environment.installedPinentry
                                             : environment.namedPinentry;
}

DialogEnvironment currentDialogEnvironment() {
    const ConfigSC& config = cardSettings();
    DialogEnvironment environment;
    environment.service = config.m_settings.m_isService;
    environment.callback = config.UsePinDialogCallback();
    environment.desktop = variableSet("DISPLAY") || variableSet("WAYLAND_DISPLAY");
    environment.namedPinentry = variableSet(cPinentryVariable) ? std::getenv(cPinentryVariable)
                                                               : config.m_settings.m_pinentryProgram;
    if (environment.namedPinentry.empty() && environment.desktop) {
        environment.installedPinentry = installedPinentry();
    }
    environment.terminal = terminalAvailable();
    return environment;
}

DialogRoute currentDialogRoute(DialogUse use) {
    return chooseDialogRoute(use, currentDialogEnvironment());
}

}  // namespace kivo::pin
