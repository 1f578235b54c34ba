// The built-in Discord application identities offered as "Show as:".
//
// Deployment values: these are placeholders of the right form (18 decimal
// digits), not registered applications. A release build replaces them with the
// ids of Discord applications registered under the three names the page
// offers, each with the image assets "logo", "play", "pause" and "stop"
// uploaded; until then the user can enter a registered id as the custom id.
#pragma once

namespace kiln {

inline constexpr const char* kBuiltInApplicationIds[3] = {
    "736120459281730561",  // "discordsel" 0, the default
    "736120459281730562",  // "discordsel" 1
    "736120459281730563",  // "discordsel" 2
};

}  // namespace kiln
