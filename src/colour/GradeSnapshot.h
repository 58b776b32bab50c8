#pragma once

#include "colour/Cdl.h"
#include "colour/Curves.h"
#include "colour/Qualifier.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One node of a grade: the CDL, then the custom curves, then the hue curves. With a qualifier,
// the node's change is mixed in by the key of the pixel as it enters the node.
struct GradeNode {
    QString label;
    bool enabled = true;
    Cdl cdl;
    GradingCurves curves;
    HueCurves hueCurves;
    std::optional<HslQualifier> qualifier;

    Rgb apply(const Rgb& in) const;
    bool operator==(const GradeNode&) const = default;
};

// A grade as it stood at one moment: its nodes applied in order.
struct GradeSnapshot {
    QString name;
    QDateTime taken;
    QList<GradeNode> nodes;

    Rgb apply(const Rgb& in) const;
    bool operator==(const GradeSnapshot&) const = default;
};
