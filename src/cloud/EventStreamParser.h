#pragma once

#include "records/JsonDecoding.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// One record change announced by the cloud's realtime stream.
struct RealtimeEvent {
    // `delete` is a C++ keyword, hence the trailing underscore on that one case.
    enum class Action { create, update, delete_ };

    Action action = Action::create;
    QString collection;
    QString recordID;
    QByteArray raw; // the data payload exactly as received, for consumers that need the full record

    bool operator==(const RealtimeEvent&) const = default;

    // The whole change message, {"record": T}, read from `raw` by consumers that want the record
    // itself; T is a record type with `fromJson(value, path)`, such as LUTRecord.
    template <typename T>
    struct FullMsg {
        T record;

        static Decoded<FullMsg> decode(const QByteArray& raw) {
            const Decoded<QJsonValue> json = Json::parse(raw);
            if (!json) {
                return Decoded<FullMsg>::failure(json.error());
            }
            const Decoded<QJsonObject> message = Json::object(*json, {});
            if (!message) {
                return Decoded<FullMsg>::failure(message.error());
            }
            const QJsonValue value = message->value(QStringLiteral("record"));
            if (value.isUndefined()) {
                return Decoded<FullMsg>::failure(Json::failureAt({}, QStringLiteral("record"), {}, value));
            }
            Decoded<T> record = T::fromJson(value, QStringLiteral("record"));
            if (!record) {
                return Decoded<FullMsg>::failure(record.error());
            }
            return FullMsg{std::move(record).value()};
        }
    };
};

// The pure half of the realtime client: cutting stream bytes into event blocks and reading one
// block. Kept free of network and threads so that every byte-level rule can be tested alone.
namespace EventStream {

// The raw texts of the actions on the wire.
QString actionText(RealtimeEvent::Action action);
std::optional<RealtimeEvent::Action> actionFromText(const QString& text);

// Stream bytes not yet cut into blocks. Blocks end at LF LF only (CR LF CR LF is not a separator).
// The bytes still waiting for a separator are capped at `limit`: a stream that sends that much
// without ending a block is broken or hostile, and keeping its bytes would let it grow our memory
// without bound.
class BlockBuffer {
public:
    static constexpr qsizetype defaultLimit = 16 * 1024 * 1024;

    explicit BlockBuffer(qsizetype limit = defaultLimit)
        : m_limit(limit) {}

    // Appends `bytes` and returns every block completed by them, in arrival order, without their
    // separators. When the bytes left waiting exceed the limit afterwards, `overflowed` is set and
    // the buffer is emptied; the blocks completed before that point are still returned.
    QList<QByteArray> append(const QByteArray& bytes, bool* overflowed = nullptr);
    void clear();

    qsizetype size() const { return m_bytes.size(); }
    qsizetype limit() const { return m_limit; }

private:
    QByteArray m_bytes;
    // Everything before this offset is known to hold no separator, so a block arriving in many
    // small pieces is scanned once rather than once per piece.
    qsizetype m_scanned = 0;
    qsizetype m_limit;
};

// The two things an event block can mean to us. Anything else is dropped.
struct Connected {
    QString clientId;
    bool operator==(const Connected&) const = default;
};
using Outcome = std::variant<std::monostate, Connected, RealtimeEvent>;

// The name and data of one block: "event:" gives the name (trimmed of spaces and tabs; the
// default is "message"), "data:" lines are joined as they stand. None when the block is not
// valid UTF-8.
struct Block {
    QString name;
    QByteArray data;
    bool operator==(const Block&) const = default;
};
std::optional<Block> readBlock(const QByteArray& block);

// The collection an event name refers to: its first non-empty part between slashes, or the
// whole name when it has none ("tintara_luts/r1" and "tintara_luts" both give "tintara_luts").
QString collectionOf(const QString& eventName);

// Reads one block: "PB_CONNECT" with {"clientId": string} gives Connected; an event in one of
// `collections` with {"action": "create"|"update"|"delete", "record": {"id": string}} gives the
// event; everything else gives nothing.
Outcome handleBlock(const QByteArray& block, const QStringList& collections);

} // namespace EventStream
