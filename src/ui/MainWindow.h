#pragma once

#include "ui/MenuContent.h"

#include <QList>
#include <QTimer>
#include <QWidget>

class MenuModel;
class QScrollArea;

// Where the desktop has no tray, the program's window: everything the tray menu holds, with the
// whole activity log. Closing it leaves the agent running.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(MenuModel& model, QWidget* parent = nullptr);

    // Shows this content; the activity has room for every line the engine keeps.
    void apply(const MenuContent& content);
    // One control per item of the content, in the same order: a label for a text line, a line for
    // a separator, a check box for a check item, a button for a command.
    const QList<QWidget*>& controls() const { return m_controls; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void refresh();

    MenuModel& m_model;
    QList<QWidget*> m_controls;
    QScrollArea* m_activity;
    QTimer m_ageTimer;
};
