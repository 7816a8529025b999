#pragma once

#include "app/HMSettingsSheets.h"

#include <QObject>

#include <memory>

// The settings sheets this folder makes (the main settings, the advanced settings) and the pairing
// sheet, as the main window and the main settings sheet open them; main registers the makers.
namespace HMSettingsWindows {

std::unique_ptr<QObject> open(HMSettingsSheets::Sheet sheet, const HMSettingsSheets::Request &request);
void registerWithMainWindow();

} // namespace HMSettingsWindows
