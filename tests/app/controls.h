// The windows keep their controls to themselves; tests reach them the way a
// person would name them, by the form name each control carries as its
// object name.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>
#include <stdexcept>
#include <string>

namespace tessary::app::testing {

// The control of type T named `name` that sits on `window` itself. Windows
// that `window` owns (the log window is a child of the main window) are left
// out, since their controls may carry the same names ("bClose"). A name that
// finds no control, or more than one, throws: the test that asked fails with
// the name in its message instead of following a null pointer.
template <typename T>
T* Control(const QWidget& window, const char* name) {
    T* found = nullptr;
    int count = 0;
    for (T* child : window.findChildren<T*>(QString::fromLatin1(name))) {
        if (child->window() != &window) continue;
        found = child;
        ++count;
    }
    if (count != 1)
        throw std::logic_error(std::to_string(count) + " controls of type " +
                               T::staticMetaObject.className() + " named \"" + name + "\" on " +
                               window.objectName().toStdString());
    return found;
}

}  // namespace tessary::app::testing
