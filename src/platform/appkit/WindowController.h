#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <initializer_list>
#include <memory>

namespace platform {

// What a controller's window is: a panel (a dialog that Escape dismisses; the kind every sheet and
// small window is) or a document window (an ordinary top-level window that stays open on Escape).
enum class WindowKind { Panel, Document };

// Answers of modal sessions that no button gave.
inline constexpr int NSModalResponseOK = 1;
inline constexpr int NSModalResponseCancel = 0;

// The base of every window controller. It owns one top-level window, built on first need from the Qt
// Designer interface file named after the subclass (Foo.ui beside Foo.cpp, compiled by AUTOUIC; the
// subclass's loadInterface calls the generated setupUi), after which windowDidLoad runs. Controls
// are reached through the generated members (outlets bound by object name), by outlet(), or by tag.
// The window can be shown on its own or as a sheet: a window-modal dialog on a parent window whose
// completion handler receives the code given to endSheet. Main thread only; not copyable.
class WindowController : public QObject
{
    Q_OBJECT

public:
    using SheetCompletionHandler = std::function<void(int returnCode)>;

    // The interface file's name (without extension); it also names the window object.
    explicit WindowController(QString windowNibName, WindowKind kind = WindowKind::Panel);
    ~WindowController() override;
    WindowController(const WindowController &) = delete;
    WindowController &operator=(const WindowController &) = delete;

    const QString &windowNibName() const { return m_windowNibName; }
    // The window, loaded on first call.
    QDialog *window();
    bool isWindowLoaded() const { return m_window != nullptr; }

    // Shows the window and brings it to the front.
    void showWindow();
    // Hides the window; a sheet still open ends with NSModalResponseCancel.
    void close();

    // The control of the window with the object name and type, or null.
    template <typename T>
    T *outlet(const QString &objectName)
    {
        return window()->findChild<T *>(objectName);
    }
    // The control of the window with the tag, or null.
    QWidget *viewWithTag(qint64 tag);

    // Shows the window as a sheet: window-modal on the parent window, which stays blocked until
    // endSheet, frameless below the parent's title bar and centred on it, moving with it. A sheet
    // already open is ended first with NSModalResponseCancel.
    void beginSheet(QWidget *parentWindow, SheetCompletionHandler completionHandler);
    // The same with didEndSheet as the completion handler, called only while the controller lives.
    void beginSheet(QWidget *parentWindow);
    // Hides the sheet, releases its parent, then calls the completion handler with the code. Does
    // nothing when no sheet is open. Closing the sheet by Escape ends it with NSModalResponseCancel.
    void endSheet(int returnCode);
    bool isSheetOpen() const { return m_isSheetOpen; }
    // The window the sheet is attached to, or null.
    QWidget *sheetParent() const { return m_sheetParent; }

protected:
    // Builds the window's contents from the interface file: the subclass calls its generated setupUi
    // on the window here.
    virtual void loadInterface(QDialog &window) = 0;
    // Runs once, right after the window was built.
    virtual void windowDidLoad();
    // Receives the code of a sheet begun by beginSheet(parentWindow).
    virtual void didEndSheet(int returnCode);

    // A label of the window and the key of its localised text.
    struct LabelText
    {
        qint64 tag;
        const char *key;
    };
    // Sets each label found by its tag to its key's localised text (empty when the table lacks it).
    void localizeLabels(std::initializer_list<LabelText> labels);

private:
    void loadWindow();

    const QString m_windowNibName;
    const WindowKind m_kind;
    std::unique_ptr<QDialog> m_window;
    bool m_isSheetOpen = false;
    QPointer<QWidget> m_sheetParent;
    SheetCompletionHandler m_sheetCompletionHandler;
};

} // namespace platform
