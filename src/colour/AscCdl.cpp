#include "colour/AscCdl.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <utility>

namespace AscCdl {

namespace {

const QString xmlNamespace = QStringLiteral("urn:ASC:CDL:v1.2");

QString rootName(Format format) {
    switch (format) {
    case Format::correction:
        return QStringLiteral("ColorCorrection");
    case Format::collection:
        return QStringLiteral("ColorCorrectionCollection");
    case Format::decisionList:
        return QStringLiteral("ColorDecisionList");
    }
    return {};
}

// Versions of the format differ in the namespace's last part (urn:ASC:CDL:v1.01, v1.2); many
// tools write none at all.
bool isAscNamespace(QStringView uri) {
    return uri.isEmpty() || uri.startsWith(u"urn:ASC:CDL:", Qt::CaseInsensitive);
}

QString label(const Correction& correction, qsizetype index) {
    const QString element =
        correction.reference ? QStringLiteral("ColorCorrectionRef") : QStringLiteral("ColorCorrection");
    return correction.id.isEmpty() ? QStringLiteral("%1 %2").arg(element).arg(index + 1)
                                   : QStringLiteral("%1 %2").arg(element, quoted(correction.id));
}

// What a reference stands for: the correction held under its id, with the reference's own MediaRef;
// nothing when the file holds no correction of that id.
std::optional<Correction> resolved(const QList<Correction>& corrections, const Correction& reference) {
    for (const Correction& held : corrections) {
        if (!held.reference && !held.id.isEmpty() && held.id == reference.id) {
            Correction correction = held;
            correction.mediaRef = reference.mediaRef;
            correction.reference = true;
            return correction;
        }
    }
    return std::nullopt;
}

// A reference is written as the id alone, so it must hold just what the correction of that id does.
QString problemWithReference(const Document& document, const Correction& reference) {
    if (document.format == Format::correction) {
        return QStringLiteral("a .cc file cannot hold a ColorCorrectionRef");
    }
    const std::optional<Correction> expected = resolved(document.corrections, reference);
    if (!expected) {
        return QStringLiteral("the file holds no ColorCorrection of that id");
    }
    return *expected == reference
               ? QString()
               : QStringLiteral("it holds other values than the ColorCorrection it refers to");
}

QString triple(const Rgb& values) {
    return cdlNumber(values[0]) + u' ' + cdlNumber(values[1]) + u' ' + cdlNumber(values[2]);
}

// XML 1.0 cannot carry most control characters nor a lone surrogate, even escaped.
bool isXmlText(const QString& text) {
    for (auto it = text.cbegin(); it != text.cend(); ++it) {
        const char16_t c = it->unicode();
        if (QChar::isHighSurrogate(c) && it + 1 != text.cend() && (it + 1)->isLowSurrogate()) {
            ++it;
        } else if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || QChar::isSurrogate(c) ||
                   c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

QString firstUnwritableText(const Notes& notes) {
    for (const QString& text : notes.descriptions) {
        if (!isXmlText(text)) {
            return QStringLiteral("a Description");
        }
    }
    if (!isXmlText(notes.inputDescription)) {
        return QStringLiteral("the InputDescription");
    }
    if (!isXmlText(notes.viewingDescription)) {
        return QStringLiteral("the ViewingDescription");
    }
    return {};
}

QString firstUnwritableText(const Correction& correction) {
    if (!isXmlText(correction.id)) {
        return QStringLiteral("the id");
    }
    if (!isXmlText(correction.mediaRef)) {
        return QStringLiteral("the MediaRef");
    }
    for (const QStringList* list : {&correction.sopDescriptions, &correction.satDescriptions}) {
        for (const QString& text : *list) {
            if (!isXmlText(text)) {
                return QStringLiteral("a Description");
            }
        }
    }
    return firstUnwritableText(correction.notes);
}

QString problemWriting(const Document& document) {
    const QString format = QLatin1Char('.') + suffix(document.format);
    if (document.corrections.isEmpty()) {
        return QStringLiteral("A %1 file needs at least one ColorCorrection").arg(format);
    }
    if (document.format == Format::correction) {
        if (document.corrections.size() != 1) {
            return QStringLiteral("A .cc file holds exactly one ColorCorrection, not %1")
                .arg(document.corrections.size());
        }
        if (!document.notes.isEmpty()) {
            return QStringLiteral("A .cc file has no place for the descriptions of a collection");
        }
    }
    if (const QString text = firstUnwritableText(document.notes); !text.isEmpty()) {
        return QStringLiteral("The file's %1 holds a control character that XML cannot carry").arg(text);
    }
    QSet<QString> ids;
    for (qsizetype i = 0; i < document.corrections.size(); ++i) {
        const Correction& correction = document.corrections[i];
        const QString where = label(correction, i);
        if (correction.reference) {
            if (const QString problem = problemWithReference(document, correction); !problem.isEmpty()) {
                return QStringLiteral("%1: %2").arg(where, problem);
            }
        } else if (ids.contains(correction.id)) {
            return QStringLiteral("Two ColorCorrections share the id %1").arg(quoted(correction.id));
        } else if (!correction.id.isEmpty()) {
            ids.insert(correction.id);
        }
        if (const QString problem = correction.cdl.problem(); !problem.isEmpty()) {
            return QStringLiteral("%1: %2").arg(where, problem);
        }
        if (const QString text = firstUnwritableText(correction); !text.isEmpty()) {
            return QStringLiteral("%1: %2 holds a control character that XML cannot carry").arg(where, text);
        }
        if (!correction.mediaRef.isEmpty() && document.format != Format::decisionList) {
            return QStringLiteral("%1: only a .cdl file carries a MediaRef").arg(where);
        }
    }
    return {};
}

// A reader turns a carriage return in text into a line feed; a character reference survives.
void writeText(QXmlStreamWriter& xml, const QString& element, const QString& text) {
    xml.writeStartElement(element);
    const QStringList parts = text.split(u'\r');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            xml.writeEntityReference(QStringLiteral("#13"));
        }
        xml.writeCharacters(parts[i]);
    }
    xml.writeEndElement();
}

void writeDescriptions(QXmlStreamWriter& xml, const QStringList& descriptions) {
    for (const QString& description : descriptions) {
        writeText(xml, QStringLiteral("Description"), description);
    }
}

void writeNotes(QXmlStreamWriter& xml, const Notes& notes) {
    writeDescriptions(xml, notes.descriptions);
    if (!notes.inputDescription.isEmpty()) {
        writeText(xml, QStringLiteral("InputDescription"), notes.inputDescription);
    }
    if (!notes.viewingDescription.isEmpty()) {
        writeText(xml, QStringLiteral("ViewingDescription"), notes.viewingDescription);
    }
}

void writeCorrection(QXmlStreamWriter& xml, const Correction& correction, bool root) {
    if (correction.reference) {
        xml.writeEmptyElement(QStringLiteral("ColorCorrectionRef"));
        xml.writeAttribute(QStringLiteral("ref"), correction.id);
        return;
    }
    xml.writeStartElement(QStringLiteral("ColorCorrection"));
    if (root) {
        xml.writeDefaultNamespace(xmlNamespace);
    }
    if (!correction.id.isEmpty()) {
        xml.writeAttribute(QStringLiteral("id"), correction.id);
    }
    writeNotes(xml, correction.notes);
    xml.writeStartElement(QStringLiteral("SOPNode"));
    writeDescriptions(xml, correction.sopDescriptions);
    xml.writeTextElement(QStringLiteral("Slope"), triple(correction.cdl.slope));
    xml.writeTextElement(QStringLiteral("Offset"), triple(correction.cdl.offset));
    xml.writeTextElement(QStringLiteral("Power"), triple(correction.cdl.power));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("SatNode"));
    writeDescriptions(xml, correction.satDescriptions);
    xml.writeTextElement(QStringLiteral("Saturation"), cdlNumber(correction.cdl.saturation));
    xml.writeEndElement();
    xml.writeEndElement();
}

// Reads with QXmlStreamReader; the first fault is raised as the reader's own error, which ends
// every loop that reads further elements.
class Reader {
public:
    explicit Reader(const QByteArray& bytes)
        : m_xml(bytes) {}

    Decoded<Document> read() {
        Document document;
        if (m_xml.readNextStartElement()) {
            const QStringView root = isAscNamespace(m_xml.namespaceUri()) ? m_xml.name() : QStringView();
            if (root == u"ColorCorrection") {
                document.format = Format::correction;
                readCorrection(document.corrections.emplace_back(), 0);
            } else if (root == u"ColorCorrectionCollection" || root == u"ColorDecisionList") {
                document.format = root == u"ColorDecisionList" ? Format::decisionList : Format::collection;
                readContainer(document);
            } else {
                fail(QStringLiteral("This is not an ASC CDL file: its root element is %1")
                         .arg(quoted(m_xml.qualifiedName().toString())));
            }
        }
        while (!m_xml.atEnd()) {
            m_xml.readNext();
        }
        if (m_xml.error() == QXmlStreamReader::CustomError) {
            return Decoded<Document>::failure(m_xml.errorString());
        }
        if (m_xml.hasError()) {
            return Decoded<Document>::failure(QStringLiteral("The file is not well-formed XML: %1 (line %2)")
                                                  .arg(m_xml.errorString())
                                                  .arg(m_xml.lineNumber()));
        }
        resolveReferences(document);
        if (document.corrections.isEmpty()) {
            return Decoded<Document>::failure(document.unresolved.join(u'\n'));
        }
        return document;
    }

private:
    void fail(const QString& message, qint64 line = 0) {
        if (!m_xml.hasError()) {
            m_xml.raiseError(
                QStringLiteral("%1 (line %2)").arg(message).arg(line ? line : m_xml.lineNumber()));
        }
    }

    // The next child element of the current one in the ASC namespace; those of other vendors are
    // skipped whole, even where they reuse the format's names.
    bool nextElement() {
        while (m_xml.readNextStartElement()) {
            if (isAscNamespace(m_xml.namespaceUri())) {
                return true;
            }
            m_xml.skipCurrentElement();
        }
        return false;
    }

    bool readNote(Notes& notes) {
        const QStringView name = m_xml.name();
        if (name == u"Description") {
            notes.descriptions.append(m_xml.readElementText(QXmlStreamReader::IncludeChildElements));
        } else if (name == u"InputDescription") {
            notes.inputDescription = m_xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (name == u"ViewingDescription") {
            notes.viewingDescription = m_xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else {
            return false;
        }
        return true;
    }

    void readContainer(Document& document) {
        const QString container = m_xml.name().toString();
        while (nextElement()) {
            const QStringView name = m_xml.name();
            if (readNote(document.notes)) {
                continue;
            }
            if (document.format == Format::collection && name == u"ColorCorrection") {
                Correction& correction = document.corrections.emplace_back();
                readCorrection(correction, document.corrections.size() - 1);
            } else if (document.format == Format::collection && name == u"ColorCorrectionRef") {
                readReference(document,
                              QStringLiteral("The ColorCorrectionRef on line %1").arg(m_xml.lineNumber()));
            } else if (document.format == Format::decisionList && name == u"ColorDecision") {
                readDecision(document);
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (!m_xml.hasError() && document.corrections.isEmpty()) {
            fail(QStringLiteral("The %1 holds no ColorCorrection").arg(container));
        }
    }

    void readDecision(Document& document) {
        const qint64 line = m_xml.lineNumber();
        const qsizetype index = document.corrections.size();
        QString mediaRef;
        bool found = false;
        while (nextElement()) {
            const QStringView name = m_xml.name();
            if (name == u"MediaRef") {
                mediaRef = m_xml.attributes().value(QLatin1String("ref")).toString();
                m_xml.skipCurrentElement();
            } else if ((name == u"ColorCorrection" || name == u"ColorCorrectionRef") && found) {
                fail(QStringLiteral("ColorDecision %1 holds two ColorCorrections").arg(index + 1));
            } else if (name == u"ColorCorrection") {
                found = true;
                readCorrection(document.corrections.emplace_back(), index);
            } else if (name == u"ColorCorrectionRef") {
                found = true;
                readReference(document, QStringLiteral("ColorDecision %1").arg(index + 1));
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (m_xml.hasError()) {
            return;
        }
        if (!found) {
            fail(QStringLiteral("ColorDecision %1 holds no ColorCorrection").arg(index + 1), line);
        } else {
            document.corrections.last().mediaRef = mediaRef;
        }
    }

    void readReference(Document& document, const QString& where) {
        Correction& correction = document.corrections.emplace_back();
        correction.id = m_xml.attributes().value(QLatin1String("ref")).toString();
        correction.reference = true;
        m_references.insert(document.corrections.size() - 1, where);
        m_xml.skipCurrentElement();
    }

    // Each reference takes what the correction it names holds; one that names none is reported and
    // left out, so that a single faulty decision does not cost the rest of the file.
    void resolveReferences(Document& document) {
        QList<Correction> read;
        for (qsizetype i = 0; i < document.corrections.size(); ++i) {
            const Correction& correction = document.corrections[i];
            if (!correction.reference) {
                read.append(correction);
            } else if (const std::optional<Correction> held = resolved(document.corrections, correction)) {
                read.append(*held);
            } else {
                document.unresolved.append(
                    QStringLiteral("%1 refers to ColorCorrection %2, which the file does not hold")
                        .arg(m_references.value(i), quoted(correction.id)));
            }
        }
        document.corrections = read;
    }

    void readCorrection(Correction& correction, qsizetype index) {
        correction.id = m_xml.attributes().value(QLatin1String("id")).toString();
        m_where = label(correction, index);
        bool sop = false;
        bool sat = false;
        while (nextElement()) {
            const QStringView name = m_xml.name();
            if (readNote(correction.notes)) {
                continue;
            }
            if (name == u"SOPNode") {
                if (std::exchange(sop, true)) {
                    fail(QStringLiteral("%1 holds two SOPNodes").arg(m_where));
                }
                readSop(correction);
            } else if (name == u"SatNode" || name == u"SATNode") {
                if (std::exchange(sat, true)) {
                    fail(QStringLiteral("%1 holds two SatNodes").arg(m_where));
                }
                readSat(correction);
            } else {
                m_xml.skipCurrentElement();
            }
        }
    }

    void readSop(Correction& correction) {
        const qint64 line = m_xml.lineNumber();
        Rgb* const targets[] = {&correction.cdl.slope, &correction.cdl.offset, &correction.cdl.power};
        const QStringView names[] = {u"Slope", u"Offset", u"Power"};
        bool seen[] = {false, false, false};
        while (nextElement()) {
            const QStringView name = m_xml.name();
            if (name == u"Description") {
                correction.sopDescriptions.append(
                    m_xml.readElementText(QXmlStreamReader::IncludeChildElements));
                continue;
            }
            const auto which = std::find(std::begin(names), std::end(names), name) - std::begin(names);
            if (which == 3) {
                m_xml.skipCurrentElement();
                continue;
            }
            if (std::exchange(seen[which], true)) {
                fail(QStringLiteral("%1: the SOPNode holds two %2 elements").arg(m_where, name));
                return;
            }
            const QList<double> values = readNumbers(3);
            if (values.size() == 3) {
                std::copy(values.begin(), values.end(), targets[which]->begin());
            }
        }
        for (int i = 0; i < 3; ++i) {
            if (!seen[i]) {
                fail(QStringLiteral("%1: the SOPNode has no %2").arg(m_where, names[i]), line);
            }
        }
    }

    void readSat(Correction& correction) {
        const qint64 line = m_xml.lineNumber();
        bool seen = false;
        while (nextElement()) {
            const QStringView name = m_xml.name();
            if (name == u"Description") {
                correction.satDescriptions.append(
                    m_xml.readElementText(QXmlStreamReader::IncludeChildElements));
            } else if (name == u"Saturation") {
                if (std::exchange(seen, true)) {
                    fail(QStringLiteral("%1: the SatNode holds two Saturation elements").arg(m_where));
                    return;
                }
                const QList<double> values = readNumbers(1);
                if (values.size() == 1) {
                    correction.cdl.saturation = values[0];
                }
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (!seen) {
            fail(QStringLiteral("%1: the SatNode has no Saturation").arg(m_where), line);
        }
    }

    // The numbers of a Slope, Offset, Power or Saturation element, checked against its rules.
    QList<double> readNumbers(qsizetype count) {
        const QString element = m_xml.name().toString();
        const qint64 line = m_xml.lineNumber();
        const QString text = m_xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        QList<double> values;
        if (m_xml.hasError()) {
            return values;
        }
        const QString where = QStringLiteral("%1: the %2").arg(m_where, element);
        for (const QString& word :
             text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
            const std::optional<double> value = parseCdlNumber(word);
            if (!value) {
                fail(QStringLiteral("%1 holds %2 where a number belongs").arg(where, quoted(word)), line);
                return {};
            }
            values.append(*value);
        }
        if (values.size() != count) {
            fail(QStringLiteral("%1 holds %2 numbers; it needs %3").arg(where).arg(values.size()).arg(count),
                 line);
            return {};
        }
        for (double value : values) {
            const bool negativeAllowed = element == u"Offset";
            const bool zeroAllowed = element != u"Power";
            if ((value < 0.0 && !negativeAllowed) || (value == 0.0 && !zeroAllowed)) {
                fail(QStringLiteral("%1 holds %2; it must be %3")
                         .arg(where, cdlNumber(value), zeroAllowed ? "zero or more" : "more than zero"),
                     line);
                return {};
            }
        }
        return values;
    }

    QXmlStreamReader m_xml;
    QString m_where;                        // the correction being read, for messages
    QHash<qsizetype, QString> m_references; // where each reference stands, by its index, for messages
};

} // namespace

QString suffix(Format format) {
    switch (format) {
    case Format::correction:
        return QStringLiteral("cc");
    case Format::collection:
        return QStringLiteral("ccc");
    case Format::decisionList:
        return QStringLiteral("cdl");
    }
    return {};
}

std::optional<Format> formatForSuffix(const QString& text) {
    for (Format format : {Format::correction, Format::collection, Format::decisionList}) {
        if (text.compare(suffix(format), Qt::CaseInsensitive) == 0) {
            return format;
        }
    }
    return std::nullopt;
}

Decoded<QByteArray> write(const Document& document) {
    if (const QString problem = problemWriting(document); !problem.isEmpty()) {
        return Decoded<QByteArray>::failure(problem);
    }
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(4);
    xml.writeStartDocument();
    if (document.format == Format::correction) {
        writeCorrection(xml, document.corrections.first(), true);
    } else {
        xml.writeStartElement(rootName(document.format));
        xml.writeDefaultNamespace(xmlNamespace);
        writeNotes(xml, document.notes);
        for (const Correction& correction : document.corrections) {
            if (document.format == Format::decisionList) {
                xml.writeStartElement(QStringLiteral("ColorDecision"));
                if (!correction.mediaRef.isEmpty()) {
                    xml.writeEmptyElement(QStringLiteral("MediaRef"));
                    xml.writeAttribute(QStringLiteral("ref"), correction.mediaRef);
                }
                writeCorrection(xml, correction, false);
                xml.writeEndElement();
            } else {
                writeCorrection(xml, correction, false);
            }
        }
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return bytes;
}

Decoded<Document> read(const QByteArray& bytes) {
    return Reader(bytes).read();
}

} // namespace AscCdl
