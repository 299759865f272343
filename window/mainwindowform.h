// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_MAINWINDOWFORM_H
#define KIVERLO_MAINWINDOWFORM_H

class QCheckBox;
class QComboBox;
class QLabel;
class QMainWindow;
class QPushButton;
class QStatusBar;
class QTextEdit;
class QVBoxLayout;
class QWidget;

// The widgets of the main window. The record only refers to them: each one
// belongs to its parent in the window's object tree.
struct MainWindowForm
{
    QWidget *centralWidget = nullptr;
    QWidget *layoutWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QComboBox *cboCommPort = nullptr;
    QPushButton *btnUploadFlash = nullptr;
    QLabel *lblOutput = nullptr;
    QCheckBox *chkShowConsole = nullptr;
    QTextEdit *txtOutput = nullptr;
    QStatusBar *statusBar = nullptr;

    // Builds the form into `window` and connects its on_<object>_<signal>
    // slots to the widgets by name.
    void setupForm(QMainWindow *window);
};

#endif
