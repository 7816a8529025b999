#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A resources folder holding a fake "adb" and the application's strings tables, made the bundle's
// resources folder (HM_RESOURCES_DIR) while the object lives. The fake adb records each call as one
// line, every argument in brackets ("[-s][serial][forward][tcp:8090][tcp:8090]"), and answers from
// the scenario: "devices" from the text set for that call's number (or for every call), "shell ps"
// and "shell dumpsys package" from their texts; every other command answers nothing. One at a time.
class FakeAdb final
{
public:
    FakeAdb();
    ~FakeAdb();
    FakeAdb(const FakeAdb &) = delete;
    FakeAdb &operator=(const FakeAdb &) = delete;

    bool isValid() const { return m_folder.isValid(); }
    QString folder() const { return m_folder.path(); }

    // The answer of the n-th "devices" call (counted from 1), or of every call when n is 0.
    void setDevicesOutput(const QString &output, int callNumber = 0);
    void setProcessesOutput(const QString &output);
    void setPackagesOutput(const QString &output);

    // The calls so far, one line each, oldest first.
    QStringList calls() const;

    // A "devices" answer listing the devices, each a serial and a state.
    static QString devicesListing(const QList<std::pair<QString, QString>> &devices);
    // A "ps" answer in which the phone app's USB sync service and its second process run.
    static QString processesWithUsbSync(bool withRemoteProcess = true);

private:
    void writeAnswer(const QString &name, const QString &output);

    QTemporaryDir m_folder;
    QByteArray m_savedResourcesDir;
    bool m_hadResourcesDir = false;
};
