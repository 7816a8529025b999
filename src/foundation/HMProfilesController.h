#pragma once

#include <QtGlobal>

#include <memory>
#include <vector>

class HMProfile;

// What sync code may ask of the main window's list of profiles: the profiles in the order shown and
// which one is selected. The main window implements it and registers it with
// GlobalVariables::setCurrentProfileController; the current profile is arrangedObjects() at
// selectionIndex(). Called from any thread; implementations answer a snapshot.
class HMProfilesController
{
public:
    virtual ~HMProfilesController() = default;

    virtual std::vector<std::shared_ptr<HMProfile>> arrangedObjects() const = 0;
    // The index of the selected profile in arrangedObjects(), or -1 when none is selected.
    virtual qsizetype selectionIndex() const = 0;

    // The selected profile, or nullptr when none is.
    std::shared_ptr<HMProfile> selectedProfile() const
    {
        const std::vector<std::shared_ptr<HMProfile>> profiles = arrangedObjects();
        const qsizetype index = selectionIndex();
        return index >= 0 && index < qsizetype(profiles.size()) ? profiles.at(size_t(index)) : nullptr;
    }
};
