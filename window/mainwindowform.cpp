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

    window->setCentralWidget(centralWidget);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    window->setStatusBar(statusBar);

    window->setWindowTitle(QCoreApplication::translate("MainWindow", "Kiverlo", nullptr));
    btnUploadFlash->setText(QCoreApplication::translate("MainWindow", "Upload...", nullptr));
    lblOutput->setText(QCoreApplication::translate(
        "MainWindow", "1) Select Comm Port 2) Click Upload... 3) Select .hex file", nullptr));
    chkShowConsole->setText(QCoreApplication::translate("MainWindow", "Show Console", nullptr));

    QMetaObject::connectSlotsByName(window);
}
