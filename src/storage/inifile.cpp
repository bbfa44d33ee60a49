#include "storage/inifile.h"

#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#endif

// The file is worked on as bytes, line by line: a write splices its one line into the old bytes,
// so every other line (comments, odd spacing, even bytes that are not valid GBK) stays exactly
// as it was. Text is decoded only to compare names and to return values.

namespace {

constexpr QByteArrayView utf8Bom = "\xEF\xBB\xBF";
// Room for the file to grow by a write; the write probe never writes more than the cap.
constexpr qint64 kProbeSlack = 4096;
constexpr qint64 kProbeCap = 64LL * 1024 * 1024;
constexpr qint64 largestFile = 256LL * 1024 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

QByteArrayView trimmed(QByteArrayView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

bool isAscii(QByteArrayView text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// A file that starts with a UTF-8 byte-order mark was saved by an editor as UTF-8; it is read
// and written as such. Every other file is GBK.
struct Codec {
    bool utf8 = false;

    QString decode(QByteArrayView bytes) const {
        if (isAscii(bytes))
            return QString::fromLatin1(bytes);
        return utf8 ? QString::fromUtf8(bytes) : DecodeGbk(bytes);
    }
    QByteArray encode(const QString& text) const { return utf8 ? text.toUtf8() : ToGbk(text); }

    // Names compare by their case-folded form.
    QByteArray foldStored(QByteArrayView name) const {
        if (isAscii(name))
            return name.toByteArray().toLower();
        return decode(name).toCaseFolded().toUtf8();
    }
    // A name is folded as it will be stored, so that characters the file cannot hold compare
    // equal to the "?" they became.
    QByteArray foldWanted(const QString& name) const { return foldStored(encode(name)); }
};

// Only sections and keys are remembered, as byte offsets: blank lines and comments cost nothing,
// so the memory of a parse grows with what the file holds, not with its line count.
struct Key {
    QByteArray name;
    qsizetype lineBegin = 0;
    qsizetype lineNext = 0; // first byte of the following line
    qsizetype valueBegin = 0;
    qsizetype valueEnd = 0;
};

struct Section {
    QByteArray name;
    qsizetype begin = 0;       // first byte of the header line
    qsizetype end = 0;         // first byte of the next section's header, or the file's end
    qsizetype contentNext = 0; // just after the last non-blank line, header included
    std::vector<Key> keys;
};

// More non-blank lines than any settings file holds. A file with more is not parsed: a key
// costs some fifty bytes of memory against the two bytes of a line holding "=".
constexpr qsizetype mostEntries = 1 << 20;

struct Document {
    QByteArray bytes;
    Codec codec;
    bool tooManyEntries = false;
    std::vector<Section> sections;
    QHash<QByteArray, qsizetype> firstSection;

    const Section* findSection(const QByteArray& folded) const {
        const auto it = firstSection.constFind(folded);
        return it == firstSection.cend() ? nullptr : &sections[*it];
    }
};

const Key* findKey(const Section& section, const QByteArray& folded) {
    for (const Key& key : section.keys) {
        if (key.name == folded)
            return &key;
    }
    return nullptr;
}

// The section name of a "[name]" line ends at its last "]". In GBK the byte of "]" also
// occurs as the second byte of some characters, so the scan steps over two-byte characters.
qsizetype closingBracket(QByteArrayView line, bool utf8) {
    if (utf8)
        return line.lastIndexOf(']');
    qsizetype found = -1;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line.at(i));
        if (byte >= 0x81 && byte <= 0xFE)
            ++i;
        else if (byte == ']')
            found = i;
    }
    return found;
}

std::shared_ptr<const Document> parse(QByteArray bytes) {
    auto doc = std::make_shared<Document>();
    doc->bytes = std::move(bytes);
    const QByteArrayView all(doc->bytes);
    doc->codec.utf8 = all.startsWith(utf8Bom);
    Section* current = nullptr;
    qsizetype entries = 0;
    qsizetype pos = doc->codec.utf8 ? utf8Bom.size() : 0;
    while (pos < all.size()) {
        const qsizetype begin = pos;
        const qsizetype newline = all.indexOf('\n', pos);
        pos = newline < 0 ? all.size() : newline + 1;
        // Trimming drops a CR before the LF along with the blanks.
        const QByteArrayView content =
            trimmed(all.sliced(begin, (newline < 0 ? all.size() : newline) - begin));
        if (content.isEmpty())
            continue;
        if (++entries > mostEntries) {
            doc->tooManyEntries = true;
            doc->sections.clear();
            doc->firstSection.clear();
            return doc;
        }
        if (content.startsWith('[')) {
            const qsizetype close = closingBracket(content, doc->codec.utf8);
            if (close > 0) {
                if (current != nullptr)
                    current->end = begin;
                Section section;
                section.name = doc->codec.foldStored(trimmed(content.sliced(1, close - 1)));
                section.begin = begin;
                section.contentNext = pos;
                doc->sections.push_back(std::move(section));
                current = &doc->sections.back();
                if (!doc->firstSection.contains(current->name))
                    doc->firstSection.insert(current->name, qsizetype(doc->sections.size()) - 1);
                continue;
            }
        }
        if (current == nullptr)
            continue;
        current->contentNext = pos;
        if (content.startsWith(';'))
            continue;
        const qsizetype equals = content.indexOf('=');
        if (equals < 0)
            continue; // kept as it is, but not a key
        Key key;
        key.name = doc->codec.foldStored(trimmed(content.first(equals)));
        const QByteArrayView value = trimmed(content.sliced(equals + 1));
        key.lineBegin = begin;
        key.lineNext = pos;
        key.valueBegin = value.data() - all.data();
        key.valueEnd = key.valueBegin + value.size();
        current->keys.push_back(std::move(key));
    }
    if (current != nullptr)
        current->end = all.size();
    return doc;
}

// What identifies one version of a file on disk. The change time moves with every write and
// cannot be set back by other programs; the inode changes with every replacing rename.
struct Stamp {
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    bool operator==(const Stamp&) const = default;
};

enum class Presence { Missing, Unreadable, Regular };

qint64 nowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

Presence statFile(const QString& path, Stamp& stamp) {
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT ? Presence::Missing : Presence::Unreadable;
    if (!S_ISREG(info.st_mode))
        return Presence::Unreadable;
    stamp.size = info.st_size;
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    stamp.inode = info.st_ino;
    stamp.device = info.st_dev;
#else
    QFileInfo info(path);
    info.setCaching(false);
    if (!info.exists())
        return Presence::Missing;
    if (!info.isFile())
        return Presence::Unreadable;
    stamp.size = info.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    stamp.changedNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1000000;
#endif
    return Presence::Regular;
}

struct Loaded {
    Presence presence = Presence::Missing;
    std::shared_ptr<const Document> doc;
};

// Parsed files by absolute path. A file is parsed again only when its stamp changed. File
// times advance in coarse steps, so a stamp taken within one step of the file's last change
// cannot prove that no later write landed in the same step; such an entry compares the bytes
// as well until the file has been quiet for longer than a step.
class ParseCache {
  public:
    Loaded load(const QString& file) {
        const QString key = cacheKey(file);
        if (!swept.contains(key)) {
            // Once per file and run: copies left by a writer killed before its rename.
            swept.insert(key);
            RemoveStaleCopies(key);
        }
        const qint64 now = nowNs();
        Stamp stamp;
        Loaded result;
        result.presence = statFile(file, stamp);
        if (result.presence != Presence::Regular) {
            entries.remove(key);
            result.doc = emptyDocument();
            return result;
        }
        if (stamp.size > largestFile) {
            result.presence = Presence::Unreadable;
            result.doc = emptyDocument();
            return result;
        }
        const bool quiet = std::max(stamp.modifiedNs, stamp.changedNs) + racyWindowNs(stamp) < now;
        const auto it = entries.find(key);
        if (it != entries.end() && it->stamp == stamp && !it->racy) {
            result.doc = it->doc;
            return result;
        }
        QByteArray bytes;
        if (!readAll(file, bytes)) {
            entries.remove(key);
            result.presence = Presence::Unreadable;
            result.doc = emptyDocument();
            return result;
        }
        if (it != entries.end() && it->stamp == stamp && it->doc->bytes == bytes) {
            it->racy = !quiet;
            result.doc = it->doc;
            return result;
        }
        if (entries.size() >= maxEntries)
            entries.clear();
        result.doc = parse(std::move(bytes));
        if (result.doc->tooManyEntries) {
            result.presence = Presence::Unreadable;
            result.doc = emptyDocument();
            return result;
        }
        entries.insert(key, Entry{stamp, !quiet, result.doc});
        return result;
    }

    void forget(const QString& file) { entries.remove(cacheKey(file)); }

  private:
    // Whole-second times come from file systems that count in seconds (or two, as FAT does);
    // the others step with the kernel's clock tick, a few milliseconds.
    static qint64 racyWindowNs(const Stamp& stamp) {
        constexpr qint64 second = 1'000'000'000;
        const bool wholeSeconds = stamp.modifiedNs % second == 0 || stamp.changedNs % second == 0;
        return wholeSeconds ? 2 * second : 50'000'000;
    }
    static constexpr qsizetype maxEntries = 16;

    struct Entry {
        Stamp stamp;
        bool racy = true;
        std::shared_ptr<const Document> doc;
    };

    static QString cacheKey(const QString& file) {
        return QDir::cleanPath(QDir::isAbsolutePath(file) ? file
                                                          : QDir::currentPath() + u'/' + file);
    }

    static bool readAll(const QString& file, QByteArray& bytes) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        bytes = in.readAll();
        return in.error() == QFileDevice::NoError;
    }

    static std::shared_ptr<const Document> emptyDocument() {
        static const auto empty = parse(QByteArray());
        return empty;
    }

    QHash<QString, Entry> entries;
    QSet<QString> swept;
};

// The cache is only ever used from the interface thread; the lock makes a stray call from
// another thread harmless. It is never held while events are processed.
std::mutex cacheMutex;

ParseCache& cache() {
    static ParseCache instance;
    return instance;
}

bool hasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r');
}

// Names that the file could not give back as they were written: a line break would split the
// line, a key with "=" would be cut there, a key starting with "[" or ";" would read as a
// section header or a comment.
bool isStorableSection(const QString& name) {
    return !name.isEmpty() && !hasLineBreak(name);
}

bool isStorableKey(const QString& name) {
    return !name.isEmpty() && !hasLineBreak(name) && !name.contains(u'=') &&
           !name.startsWith(u'[') && !name.startsWith(u';');
}

QByteArray withoutQuotes(QByteArrayView value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    const qsizetype zero = value.indexOf('\0');
    return (zero < 0 ? value : value.first(zero)).toByteArray();
}

// The bytes with [from, to) replaced.
QByteArray spliced(const QByteArray& bytes, qsizetype from, qsizetype to, QByteArrayView with) {
    QByteArray out;
    out.reserve(bytes.size() - (to - from) + with.size());
    out.append(QByteArrayView(bytes).first(from));
    out.append(with);
    out.append(QByteArrayView(bytes).sliced(to));
    return out;
}

// What ends the line that stops at `at` before more lines follow: nothing after an LF, the LF
// of a lone CR, which would otherwise glue the next line to it, else CR LF.
QByteArrayView lineEndBefore(const Document& doc, qsizetype at) {
    const qsizetype bomSize = doc.codec.utf8 ? utf8Bom.size() : 0;
    if (at <= bomSize || doc.bytes.at(at - 1) == '\n')
        return {};
    return doc.bytes.at(at - 1) == '\r' ? "\n" : "\r\n";
}

QByteArray withKeyWritten(const Document& doc, const QString& section, const QString& key,
                          const QString& value) {
    const QByteArray valueBytes = doc.codec.encode(value);
    const Section* found = doc.findSection(doc.codec.foldWanted(section));
    if (found == nullptr) {
        QByteArray addition = lineEndBefore(doc, doc.bytes.size()).toByteArray();
        addition += '[' + doc.codec.encode(section) + "]\r\n";
        addition += doc.codec.encode(key) + '=' + valueBytes + "\r\n";
        return doc.bytes + addition;
    }
    if (const Key* existing = findKey(*found, doc.codec.foldWanted(key))) {
        // Keep the key as it is spelt in the file, replace what follows its "=".
        const qsizetype equals = doc.bytes.indexOf('=', existing->lineBegin);
        QByteArray replacement =
            doc.bytes.mid(existing->lineBegin, equals + 1 - existing->lineBegin);
        replacement += valueBytes + "\r\n";
        return spliced(doc.bytes, existing->lineBegin, existing->lineNext, replacement);
    }
    // A new key goes after the last non-blank line of its section.
    const qsizetype at = found->contentNext;
    QByteArray addition = lineEndBefore(doc, at).toByteArray();
    addition += doc.codec.encode(key) + '=' + valueBytes + "\r\n";
    return spliced(doc.bytes, at, at, addition);
}

QByteArray withSectionRemoved(const Document& doc, const QString& section) {
    const QByteArray wanted = doc.codec.foldWanted(section);
    QByteArray out;
    out.reserve(doc.bytes.size());
    qsizetype kept = 0;
    for (const Section& candidate : doc.sections) {
        if (candidate.name != wanted)
            continue;
        out.append(QByteArrayView(doc.bytes).sliced(kept, candidate.begin - kept));
        kept = candidate.end;
    }
    out.append(QByteArrayView(doc.bytes).sliced(kept));
    return out;
}

// Writes the new content when it differs; the cache learns about it at the next read.
bool store(const QString& file, const Loaded& loaded, const QByteArray& bytes) {
    if (loaded.presence == Presence::Regular && bytes == loaded.doc->bytes)
        return true;
    const bool written = ReplaceFileAtomically(file, bytes);
    cache().forget(file);
    return written;
}

bool isNumber(QStringView text) {
    qsizetype i = 0;
    const qsizetype size = text.size();
    const auto skipBlanks = [&] {
        while (i < size && (text[i] == u' ' || text[i] == u'\t'))
            ++i;
    };
    const auto digits = [&] {
        const qsizetype start = i;
        while (i < size && text[i] >= u'0' && text[i] <= u'9')
            ++i;
        return i - start;
    };
    skipBlanks();
    if (i < size && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    qsizetype mantissa = digits();
    if (i < size && text[i] == u'.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < size && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (i < size && (text[i] == u'+' || text[i] == u'-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    skipBlanks();
    return i == size;
}

} // namespace

QString ReadIni(const QString& section, const QString& key, const QString& file) {
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    if (sectionName.isEmpty() || keyName.isEmpty() || file.isEmpty())
        return QString();
    std::shared_ptr<const Document> doc;
    {
        const std::lock_guard lock(cacheMutex);
        doc = cache().load(file).doc;
    }
    const Section* found = doc->findSection(doc->codec.foldWanted(sectionName));
    if (found == nullptr)
        return QString();
    const Key* value = findKey(*found, doc->codec.foldWanted(keyName));
    if (value == nullptr)
        return QString();
    const QByteArrayView raw =
        QByteArrayView(doc->bytes).sliced(value->valueBegin, value->valueEnd - value->valueBegin);
    return doc->codec.decode(withoutQuotes(raw));
}

bool WriteIni(const QString& section, const QString& key, const QString& value,
              const QString& file) {
    if (key.isEmpty() && value.isEmpty()) {
        DeleteIniSection(section, file);
        return true;
    }
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    if (file.isEmpty() || !isStorableSection(sectionName) || !isStorableKey(keyName) ||
        hasLineBreak(value))
        return false;
    const std::lock_guard lock(cacheMutex);
    const Loaded loaded = cache().load(file);
    if (loaded.presence == Presence::Unreadable)
        return false; // never replace what could not be read
    return store(file, loaded, withKeyWritten(*loaded.doc, sectionName, keyName, value));
}

void DeleteIniSection(const QString& section, const QString& file) {
    const QString sectionName = section.trimmed();
    if (file.isEmpty() || sectionName.isEmpty())
        return;
    const std::lock_guard lock(cacheMutex);
    const Loaded loaded = cache().load(file);
    if (loaded.presence != Presence::Regular)
        return;
    store(file, loaded, withSectionRemoved(*loaded.doc, sectionName));
}

QString ReadIniNumbers(const QString& section, const QString& key, const QString& file,
                       int minIndex) {
    const QString raw = ReadIni(section, key, file);
    if (raw.size() < 2 * qsizetype(minIndex) + 1)
        return QString();
    if (raw.indexOf(u',') < 1)
        return QString();
    const QStringList entries = raw.split(u',');
    if (entries.size() - 1 < minIndex)
        return QString();
    QString result;
    bool changed = false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (i > 0)
            result += u',';
        if (isNumber(entries[i])) {
            result += entries[i];
        } else {
            result += u'0';
            changed = true;
        }
        PumpEvents();
    }
    if (changed)
        WriteIni(section, key, result, file);
    return result;
}

QString IniWriteProblem(const QString& file) {
    QSaveFile probe(file);
    probe.setDirectWriteFallback(false);
    if (!probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return probe.errorString();
    const QFileInfo current(file);
    const qint64 size = std::min((current.isFile() ? current.size() : 0) + kProbeSlack, kProbeCap);
    const QByteArray filler(size, ' ');
    QString problem;
    if (probe.write(filler) != filler.size())
        problem = probe.errorString();
    probe.cancelWriting();
    return problem;
}
