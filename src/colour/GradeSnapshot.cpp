#include "colour/GradeSnapshot.h"

Rgb GradeNode::apply(const Rgb& in) const {
    if (!enabled) {
        return in;
    }
    const Rgb graded = hueCurves.apply(curves.apply(cdl.apply(in)));
    if (!qualifier) {
        return graded;
    }
    const double key = qualifier->key(in);
    Rgb out{};
    for (int channel = 0; channel < 3; ++channel) {
        out[channel] = in[channel] + key * (graded[channel] - in[channel]);
    }
    return out;
}

Rgb GradeSnapshot::apply(const Rgb& in) const {
    Rgb out = in;
    for (const GradeNode& node : nodes) {
        out = node.apply(out);
    }
    return out;
}
