#pragma once

#include "app/HMMainWindowController.h"

#include <QObject>

#include <memory>

class HMProfile;
class QWidget;

// The account sheets the settings open: main registers their makers at start-up (the main window's
// folder cannot reach this one). Each sheet is made on the parent window for the profile and shown.
namespace HMAccountSheets {

std::unique_ptr<QObject> open(HMMainWindowController::AccountSheet sheet, QWidget *parentWindow,
                              const std::shared_ptr<HMProfile> &profile);
void registerWithMainWindow();

} // namespace HMAccountSheets
