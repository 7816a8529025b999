#pragma once

#include "platform/appkit/WindowController.h"

#include <memory>
#include <utility>

namespace platform {

// A window controller whose window is laid out by one Designer form (the class AUTOUIC generates
// from Foo.ui): the form is made with the controller and set up on the window as it loads. A
// subclass that connects controls overrides loadInterface and calls this one first. The form is
// set up and freed through functions made where the subclass is constructed, so the subclass's
// header may leave the form's class incomplete.
template <typename Form>
class FormWindowController : public WindowController
{
public:
    Form &ui() { return *m_ui; }

protected:
    explicit FormWindowController(QString windowNibName, WindowKind kind = WindowKind::Panel)
        : WindowController(std::move(windowNibName), kind), m_ui(new Form, [](Form *form) { delete form; }),
          m_setUp([](Form &form, QDialog &window) { form.setupUi(&window); })
    {
    }

    void loadInterface(QDialog &window) override { m_setUp(*m_ui, window); }

    const std::unique_ptr<Form, void (*)(Form *)> m_ui;

private:
    void (*const m_setUp)(Form &form, QDialog &window);
};

} // namespace platform
