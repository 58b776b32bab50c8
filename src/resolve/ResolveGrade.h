#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>

#include <variant>

class Resources;
struct ResolveProfile;

// Turns a look with CDL values into the bytes of a Resolve still (.drx) for gallery import. It
// starts from a template grade shipped as two resources, patches eleven parameters inside two
// of its nodes, wraps the body and writes it as hexadecimal text into the XML wrapper. Stateless:
// everything arrives in the call or comes from the two resources, which are never modified.
namespace ResolveGrade {

struct Look {
    QString name;                       // becomes the still's label
    QList<double> slope, offset, power; // red, green, blue
    double saturation = 1.0;
    QString lutPath; // as the caller formats it (see stillLutPath)
};

struct Failure {
    enum class Kind { nodeMissing, paramMissing, templateMissing, templateMalformed };

    Kind kind = Kind::templateMissing;
    qint64 node = 0;   // for nodeMissing
    quint64 param = 0; // for paramMissing

    static Failure nodeMissing(qint64 node) { return {Kind::nodeMissing, node, 0}; }
    static Failure paramMissing(quint64 param) { return {Kind::paramMissing, 0, param}; }
    static Failure templateMissing() { return {Kind::templateMissing, 0, 0}; }
    static Failure templateMalformed() { return {Kind::templateMalformed, 0, 0}; }

    // The case's name with its value where it has one: "nodeMissing(2)",
    // "paramMissing(0x6000019)", "templateMissing", "templateMalformed".
    QString description() const;

    bool operator==(const Failure&) const = default;
};

// A value or the Failure that stopped it; nothing here throws.
template <typename T>
class Result {
public:
    Result(T value)
        : m_state(std::move(value)) {}
    Result(Failure failure)
        : m_state(failure) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Only meaningful when ok(); a failed result answers a default value.
    const T& value() const {
        static const T empty{};
        const T* value = std::get_if<T>(&m_state);
        return value ? *value : empty;
    }
    T takeValue() {
        T* value = std::get_if<T>(&m_state);
        return value ? std::move(*value) : T{};
    }
    // Only meaningful when !ok().
    Failure failure() const {
        const Failure* failure = std::get_if<Failure>(&m_state);
        return failure ? *failure : Failure{};
    }

private:
    std::variant<T, Failure> m_state;
};

// The two template resources, read whole.
struct Template {
    QByteArray xml;  // UTF-8 text with the three placeholders
    QByteArray body; // the grade body in Protocol Buffers wire format
};

inline constexpr char kTemplateName[] = "ResolveGradeTemplate";
inline constexpr char kBodyPlaceholder[] = "@@TINTARA_BODY@@";
inline constexpr char kDbIdPlaceholder[] = "@@TINTARA_DBID@@";
inline constexpr char kLabelPlaceholder[] = "@@TINTARA_LABEL@@";

inline constexpr qint64 kCdlNode = 2;
inline constexpr qint64 kLutNode = 6;
inline constexpr quint64 kSaturationParam = 0x6000005;
inline constexpr quint64 kOffsetShareParams[3] = {0x6000018, 0x6000019, 0x600001a};
inline constexpr quint64 kScaledSlopeParams[3] = {0x600001d, 0x600001e, 0x600001f};
inline constexpr quint64 kPowerOffsetParams[3] = {0x6000022, 0x6000023, 0x6000024};
inline constexpr quint64 kLutPathParam = 0x860000a1;
inline constexpr char kPayloadPrefix = char(0x81);

// Reads "ResolveGradeTemplate.xml" and ".pb"; templateMissing when either is absent or unreadable.
Result<Template> templateFromFiles(const Resources& resources);

// The still file's bytes (UTF-8 text), or the failure. A fresh identifier is made for every call.
Result<QByteArray> makeStill(const Look& look, const Resources& resources);
Result<QByteArray> makeStill(const Look& look, const Template& stillTemplate);

// The template body with node 2's ten CDL parameters and node 6's LUT path patched in. A look
// with a value, or a parameter made from it, that is not finite as a 32-bit float is refused
// as templateMalformed, like a list of the wrong length.
Result<QByteArray> buildBody(QByteArrayView templateBody, const Look& look);

// The body with the given entries replaced in every node with this identifier. Entries map a
// parameter identifier to a whole parameter entry's bytes (identifier and value).
Result<QByteArray> patchNode(QByteArrayView body, qint64 node, const QMap<quint64, QByteArray>& entries);

// Per-channel conversions from CDL values to the node's parameters.
double offsetShare(double slope, double offset);
double scaledSlope(double slope, double offset);
double powerOffset(double power);

// A parameter entry holding a 32-bit float (the value rounded to nearest), or UTF-8 text.
QByteArray numericEntry(quint64 identifier, double value);
QByteArray textEntry(quint64 identifier, const QString& text);

// A Zstandard frame storing the bytes uncompressed in raw blocks, with no checksum.
QByteArray rawZstdFrame(QByteArrayView data);
// The same frame appended to out; a buffer kept between calls keeps its capacity, which spares
// the fresh pages a new buffer costs for large inputs.
void appendRawZstdFrame(QByteArray& out, QByteArrayView data);

// The byte 0x81 followed by the raw frame of the body: what the still's hexadecimal text holds.
QByteArray stillPayload(QByteArrayView body);

// Every byte as two lower-case hexadecimal digits, with no separator.
QByteArray hexText(QByteArrayView bytes);

// The name as XML text: characters XML 1.0 forbids (controls other than tab, line feed and
// carriage return, lone surrogates, U+FFFE, U+FFFF) left out, then &, <, > and " escaped in that
// order; apostrophes are left alone.
QString escapeLabel(const QString& name);

// Fills the placeholders in this order: body, identifier, label. Each replacement is literal and
// never rescans text it inserted, so a name holding a placeholder text stays as it is.
QByteArray fillPlaceholders(QByteArray xml, QByteArrayView hex, const QString& dbId, const QString& name);

// The still's reference to its LUT: relative to Resolve's master LUT folder when the cube lies
// inside it, else the full path.
QString stillLutPath(const QString& cubePath, const ResolveProfile& profile);

} // namespace ResolveGrade
