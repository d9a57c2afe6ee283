// `npkeystrand register`: writes (or with --remove takes away) the native-messaging manifests
// that let Chromium, Chrome and Firefox start `npkeystrand-bridge` for our extension.
#pragma once

#include <string>
#include <vector>

namespace npk::bridge {

inline constexpr const char kHostName[] = "org.npkeystrand.bridge";
inline constexpr const char kChromiumOrigin[] = "chrome-extension://fnipddhnahdnnplpjmcopknkncfclnnk/";
inline constexpr const char kFirefoxExtension[] = "npkeystrand@npkeystrand.org";

enum class BrowserKind { Chromium, Chrome, Firefox };

// The manifest's text for one browser, naming the host by its absolute path.
std::string ManifestText(BrowserKind browser, const std::string& hostPath);

// The directory of a browser's manifests. user: under home (and the configuration directory,
// for the Chromium family); system: under root ("" for the real one).
std::string ManifestDirectory(BrowserKind browser, bool system, const std::string& home, const std::string& configHome,
                              const std::string& root);

}  // namespace npk::bridge

// argv[0] is "register".
int RegisterCommandMain(int argc, char** argv);
