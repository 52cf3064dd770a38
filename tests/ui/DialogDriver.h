#pragma once
// Test helper for modal windows: the steps run, in turn, once the window is up; a window that is
// still open when the last step has run is closed with Cancel (the test then fails on its
// expectations instead of hanging). Widgets are found by object name. Main test thread only.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include "ui/UMessageBox.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

template <class T> T& Child(QWidget& window, const char* name) {
    T* child = window.findChild<T*>(name);
    if (child == nullptr)
        throw std::runtime_error(std::string("no widget ") + name);
    return *child;
}

// Arms the steps for the next showing of the window (a modal showing starts at once).
inline void WhenShown(QDialog& window, std::vector<std::function<void()>> steps) {
    QTimer::singleShot(0, [&window, steps = std::move(steps)] {
        EXPECT_TRUE(window.isVisible()) << window.objectName().toStdString() << " is not shown";
        for (const auto& step : steps) {
            if (!window.isVisible())
                break;
            step();
        }
        if (window.isVisible()) {
            ADD_FAILURE() << window.objectName().toStdString() << " was still open after the last step";
            window.done(QDialog::Rejected);
        }
    });
}

inline void Type(QWidget& window, const char* name, const QString& text) {
    if (auto* memo = window.findChild<QPlainTextEdit*>(name))
        memo->setPlainText(text);
    else
        Child<QLineEdit>(window, name).setText(text);
}
inline void Click(QWidget& window, const char* name) {
    Child<QAbstractButton>(window, name).click();
}
// A click that may ask a message box, answered with Ok.
inline void ClickAnswered(QWidget& window, const char* name) {
    TMessageBox::PresetAnswer(QMessageBox::Ok);
    Click(window, name);
}
