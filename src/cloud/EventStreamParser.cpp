#include "cloud/EventStreamParser.h"

#include "records/JsonDecoding.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstring>

namespace EventStream {

namespace {

constexpr qsizetype separatorSize = 2;

// The offset of the first LF LF at or after `from`, or -1.
qsizetype findSeparator(const QByteArray& bytes, qsizetype from) {
    const char* const begin = bytes.constData();
    const char* const end = begin + bytes.size();
    const char* at = begin + from;
    while (at < end) {
        const auto* lineFeed = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
        if (lineFeed == nullptr || lineFeed + 1 >= end) {
            return -1;
        }
        if (lineFeed[1] == '\n') {
            return lineFeed - begin;
        }
        at = lineFeed + 1;
    }
    return -1;
}

QString trimmedOfSpacesAndTabs(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text[begin])) {
        ++begin;
    }
    while (end > begin && blank(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin).toString();
}

} // namespace

QString actionText(RealtimeEvent::Action action) {
    switch (action) {
    case RealtimeEvent::Action::create:
        return QStringLiteral("create");
    case RealtimeEvent::Action::update:
        return QStringLiteral("update");
    case RealtimeEvent::Action::delete_:
        return QStringLiteral("delete");
    }
    return {};
}

std::optional<RealtimeEvent::Action> actionFromText(const QString& text) {
    if (text == u"create") {
        return RealtimeEvent::Action::create;
    }
    if (text == u"update") {
        return RealtimeEvent::Action::update;
    }
    if (text == u"delete") {
        return RealtimeEvent::Action::delete_;
    }
    return std::nullopt;
}

QList<QByteArray> BlockBuffer::append(const QByteArray& bytes, bool* overflowed) {
    if (overflowed != nullptr) {
        *overflowed = false;
    }
    m_bytes.append(bytes);

    QList<QByteArray> blocks;
    qsizetype start = 0;
    // A separator may straddle the previous piece and this one, so the search starts one byte
    // before the point already known to be free of separators.
    qsizetype from = std::max<qsizetype>(0, m_scanned - 1);
    while (true) {
        const qsizetype at = findSeparator(m_bytes, from);
        if (at < 0) {
            break;
        }
        blocks.append(m_bytes.sliced(start, at - start));
        start = at + separatorSize;
        from = start;
    }
    // One removal per piece, not one per block: a piece with many blocks stays linear.
    if (start > 0) {
        m_bytes.remove(0, start);
    }
    m_scanned = m_bytes.size();

    if (m_bytes.size() > m_limit) {
        clear();
        if (overflowed != nullptr) {
            *overflowed = true;
        }
    }
    return blocks;
}

void BlockBuffer::clear() {
    // Give the memory back: after an overflow the buffer may hold up to the limit.
    m_bytes = QByteArray();
    m_scanned = 0;
}

std::optional<Block> readBlock(const QByteArray& block) {
    // Stateless and keeping a leading byte-order mark as a character: the block is judged as it
    // stands, and a marker in front of "event:" makes that line unrecognised, as it should.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(block);
    if (decoder.hasError()) {
        return std::nullopt;
    }

    Block result{QStringLiteral("message"), {}};
    QString data;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        if (line.startsWith(u"event:")) {
            result.name = trimmedOfSpacesAndTabs(line.sliced(6));
        } else if (line.startsWith(u"data:")) {
            data += line.sliced(5);
        }
    }
    result.data = data.toUtf8();
    return result;
}

QString collectionOf(const QString& eventName) {
    const QStringList parts = eventName.split(u'/', Qt::SkipEmptyParts);
    return parts.isEmpty() ? eventName : parts.first();
}

Outcome handleBlock(const QByteArray& bytes, const QStringList& collections) {
    const std::optional<Block> block = readBlock(bytes);
    if (!block) {
        return {};
    }
    const Decoded<QJsonValue> json = Json::parse(block->data);

    if (block->name == u"PB_CONNECT") {
        if (!json) {
            return {};
        }
        const Decoded<QJsonObject> conn = Json::object(*json, {});
        if (!conn) {
            return {};
        }
        Decoded<QString> clientId = Json::requiredString(*conn, QStringLiteral("clientId"), {});
        if (!clientId) {
            return {};
        }
        return Connected{std::move(clientId).value()};
    }

    const QString collection = collectionOf(block->name);
    if (!collections.contains(collection) || !json) {
        return {};
    }
    const Decoded<QJsonObject> message = Json::object(*json, {});
    if (!message) {
        return {};
    }
    const Decoded<QString> action = Json::requiredString(*message, QStringLiteral("action"), {});
    const Decoded<QJsonObject> record = Json::object(message->value(QStringLiteral("record")), {});
    if (!action || !record) {
        return {};
    }
    const Decoded<QString> id = Json::requiredString(*record, QStringLiteral("id"), QStringLiteral("record"));
    const std::optional<RealtimeEvent::Action> kind = actionFromText(*action);
    if (!id || !kind) {
        return {};
    }
    return RealtimeEvent{*kind, collection, *id, block->data};
}

} // namespace EventStream
