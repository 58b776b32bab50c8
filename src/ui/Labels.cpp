#include "ui/Labels.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLayout>

namespace Labels {

QString thisComputer() {
#ifdef Q_OS_MACOS
    return QStringLiteral("this Mac");
#else
    return QStringLiteral("this computer");
#endif
}

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    makeSmaller(label);
    return label;
}

QLabel* coloured(const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

void makeSmaller(QLabel* label, qreal factor) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * factor);
    label->setFont(font);
}

void fitHeight(QWidget* window) {
    // Nested layouts hear of a row shown or hidden through posted events; unless those are handled
    // first, the window keeps the height of rows it no longer has.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QLayout* layout = window->layout();
    layout->activate();
    window->setFixedHeight(layout->totalHeightForWidth(window->width()));
}

} // namespace Labels
