// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindowform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <QVBoxLayout>

void MainWindowForm::setupForm(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(284, 242);

    // Looked up in the working directory; without it the window simply keeps
    // the application's default icon.
    QIcon icon;
    icon.addFile(QStringLiteral("my_app.icns"), QSize(), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));

    layoutWidget = new QWidget(centralWidget);
    layoutWidget->setObjectName(QStringLiteral("layoutWidget"));
    layoutWidget->setGeometry(QRect(10, 10, 261, 121));

    verticalLayout = new QVBoxLayout(layoutWidget);
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSizeConstraint(QLayout::SetDefaultConstraint);
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    cboCommPort = new QComboBox(layoutWidget);
    cboCommPort->setObjectName(QStringLiteral("cboCommPort"));
    verticalLayout->addWidget(cboCommPort);

    btnUploadFlash = new QPushButton(layoutWidget);
    btnUploadFlash->setObjectName(QStringLiteral("btnUploadFlash"));
    verticalLayout->addWidget(btnUploadFlash);

    lblOutput = new QLabel(layoutWidget);
    lblOutput->setObjectName(QStringLiteral("lblOutput"));
    lblOutput->setWordWrap(true);
    verticalLayout->addWidget(lblOutput);

    chkShowConsole = new QCheckBox(layoutWidget);
    chkShowConsole->setObjectName(QStringLiteral("chkShowConsole"));
    verticalLayout->addWidget(chkShowConsole);

    // The console sits outside the layout so that showing or hiding it never
    // moves the controls above.
    txtOutput = new QTextEdit(centralWidget);
    txtOutput->setObjectName(QStringLiteral("txtOutput"));
    txtOutput->setGeometry(QRect(10, 140, 261, 71));
    txtOutput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtOutput->setReadOnly(true);
    // Read-only, yet a keyboard user can move through the output and select
    // from it, as with the mouse: that is where a failed run says why.
    txtOutput->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    window->setCentralWidget(centralWidget);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    window->setStatusBar(statusBar);

    window->setWindowTitle(QCoreApplication::translate("MainWindow", "Kiverlo", nullptr));
    btnUploadFlash->setText(QCoreApplication::translate("MainWindow", "Upload...", nullptr));
    lblOutput->setText(QCoreApplication::translate(
        "MainWindow", "1) Select Comm Port 2) Click Upload... 3) Select .hex file", nullptr));
    chkShowConsole->setText(QCoreApplication::translate("MainWindow", "Show Console", nullptr));

    // What a screen reader says for the controls that show no text of their
    // own. The label keeps no name of its own: its name is its text, which
    // is how the outcome of a run reaches assistive technology (Qt reports
    // a change of that text only while the label has no other name). For
    // the same reason nothing is related to it, lest the port list be
    // called "Completed!" after a run.
    cboCommPort->setAccessibleName(QCoreApplication::translate("MainWindow", "Serial port", nullptr));
    cboCommPort->setAccessibleDescription(QCoreApplication::translate(
        "MainWindow", "The board's serial port; an upload uses the port last chosen here", nullptr));
    lblOutput->setAccessibleDescription(
        QCoreApplication::translate("MainWindow", "Instructions, then the outcome of the last upload", nullptr));
    txtOutput->setAccessibleName(QCoreApplication::translate("MainWindow", "Console", nullptr));
    txtOutput->setAccessibleDescription(QCoreApplication::translate(
        "MainWindow", "The programmer's command and output during the last upload", nullptr));

    // Tab goes through the controls top to bottom, the console last.
    QWidget::setTabOrder(cboCommPort, btnUploadFlash);
    QWidget::setTabOrder(btnUploadFlash, chkShowConsole);
    QWidget::setTabOrder(chkShowConsole, txtOutput);

    QMetaObject::connectSlotsByName(window);
}
