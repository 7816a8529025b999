#pragma once

#include "platform/foundation/Result.h"

#include <QString>

#include <memory>

class HMConfiguration;

// Where the application configuration lives between runs: "HMConfiguration.plist" in the data folder,
// an XML property list with "hmVersion", "runInBackground" and "lastRunDate". Also the source of the
// application's default configuration when none is stored. Class operations; main thread only.
class HMConfigurationManager final
{
public:
    HMConfigurationManager() = delete;

    // A new configuration of the standard edition.
    static std::shared_ptr<HMConfiguration> defaultConfiguration();

    // The stored configuration, or nullptr when no file exists or it cannot be read (the reason is
    // logged; the damaged file is left as it is).
    static std::shared_ptr<HMConfiguration> configurationFileForCurrentApplication();
    // Writes the configuration's file whole.
    static platform::Status saveConfigurationFileForCurrentApplication(const HMConfiguration &configuration);

    static QString configurationFilePath();
};
