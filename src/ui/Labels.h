#pragma once

#include <QColor>
#include <QString>

class QLabel;
class QWidget;

// The text roles the two windows share.
namespace Labels {

// Readable on light and dark window backgrounds alike.
inline const QColor warningOrange{0xd0, 0x6a, 0x0c};
inline const QColor errorRed{0xd2, 0x2f, 0x2f};

// How the texts name the machine the program runs on: "this Mac" on a Mac, "this computer" elsewhere.
QString thisComputer();

// A wrapped line in the secondary text colour.
QLabel* caption(const QString& text, QWidget* parent = nullptr);
// A wrapped line in a colour of its own, for warnings and errors.
QLabel* coloured(const QColor& colour, QWidget* parent = nullptr);
// The smaller size of a caption, relative to the widget's own font.
void makeSmaller(QLabel* label, qreal factor = 0.9);
// Gives a window of fixed width the height its wrapped lines need now; a window's height does not
// follow text that grows after it was first laid out.
void fitHeight(QWidget* window);

} // namespace Labels
