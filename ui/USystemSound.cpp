#include "ui/USystemSound.h"

#include "base/UDebug.h"

#include <canberra.h>

#include <memory>

namespace {

struct TContextDeleter {
    void operator()(ca_context* context) const { ca_context_destroy(context); }
};

// One context for the run: it keeps the connection to the sound server. Null when none could be
// made (asked once).
ca_context* SoundContext() {
    static const std::unique_ptr<ca_context, TContextDeleter> context = [] {
        ca_context* created = nullptr;
        if (const int error = ca_context_create(&created); error != CA_SUCCESS) {
            Debug(std::string("No sound context: ") + ca_strerror(error));
            return std::unique_ptr<ca_context, TContextDeleter>();
        }
        ca_context_change_props(created, CA_PROP_APPLICATION_NAME, "Tessivar", CA_PROP_APPLICATION_ID,
                                "tessivar", nullptr);
        return std::unique_ptr<ca_context, TContextDeleter>(created);
    }();
    return context.get();
}

} // namespace

std::string SoundThemeName(const std::string& alias) {
    if (alias == "SystemAsterisk")
        return "dialog-information";
    return {};
}

void PlaySystemSound(const std::string& alias) {
    const std::string name = SoundThemeName(alias);
    if (name.empty()) {
        Debug("No theme sound for the system sound " + alias + ".");
        return;
    }
    ca_context* context = SoundContext();
    if (!context)
        return;
    // ca_context_play returns at once; the sound server plays it.
    if (const int error = ca_context_play(context, 0, CA_PROP_EVENT_ID, name.c_str(), CA_PROP_EVENT_DESCRIPTION,
                                          "New mail awaits authorization", nullptr);
        error != CA_SUCCESS)
        Debug("Could not play the sound " + name + ": " + ca_strerror(error));
}
