#include "storage/charset.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Windows resolves "gb2312" to code page 936, which is GBK. The toolkit's decoder registered
// under "gb2312" is the strict GB 2312 table and turns GBK-only characters into garbage, so
// every name of that code page is sent to the GBK decoder.
QByteArray codecName(const QString& charset) {
    const QString name = charset.trimmed().toLower();
    if (name == u"gb2312" || name == u"gbk" || name == u"cp936" || name == u"windows-936" ||
        name == u"x-gbk" || name == u"ms936")
        return QByteArrayLiteral("GBK");
    return name.toLatin1();
}

// True when the block stops after the lead byte of a two-byte GBK character. The codec drops
// such a byte silently; it is shown as U+FFFD like any other malformed sequence.
bool endsInsideGbkCharacter(QByteArrayView bytes) {
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(bytes.at(i));
        if (lead < 0x81 || lead == 0xFF) {
            ++i;
            continue;
        }
        if (i + 1 == size)
            return true;
        const auto trail = static_cast<unsigned char>(bytes.at(i + 1));
        i += (trail >= 0x40 && trail != 0x7F && trail != 0xFF) ? 2 : 1;
    }
    return false;
}

} // namespace

QString BytesToText(const QByteArray& bytes, const QString& charset) {
    const QByteArray name = codecName(charset);
    if (name.isEmpty())
        return QStringLiteral("0");
    // Malformed sequences become U+FFFD, as a browser shows them: a page with one bad byte is
    // still a page, and "0" would make the whole answer look like a failed fetch.
    // An empty block decodes to "", never to the "0" of a failure.
    if (name == "GBK")
        return DecodeGbk(bytes);
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return QStringLiteral("0");
    return decoder.decode(bytes);
}

QString DecodeGbk(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return QString();
    // One codec per thread: opening it costs more than decoding a short value.
    thread_local QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (endsInsideGbkCharacter(bytes))
        text += QChar(QChar::ReplacementCharacter);
    return text;
}

QString ReadTextFile(const QString& path, const QString& charset) {
    if (path.isEmpty() || QFileInfo(path).isDir())
        return QStringLiteral("0");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("0");
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("0");
    return BytesToText(bytes, charset);
}

QByteArray ToGbk(const QString& text) {
    if (text.isEmpty())
        return QByteArray();
    // The codec substitutes "?" for characters without a GBK code, as the platform's ANSI
    // conversion does.
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    QByteArray bytes = encoder.encode(text);
    if (text.back().isHighSurrogate())
        bytes += '?'; // the codec drops a broken pair at the very end
    return bytes;
}

bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes) {
    if (path.isEmpty() || QFileInfo(path).isDir())
        return false;
    // QSaveFile writes a temporary file in the target's folder and renames it over the target
    // only after everything was written and flushed; on any failure the old file stays.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    // Unbuffered, so that a short write (disk full, size limit) shows in write()'s count;
    // a buffered one would only come to light at commit, where it goes unreported.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
#ifdef Q_OS_UNIX
    // The toolkit copies the permissions as this user may use them, which for the super-user
    // are all of them, and the copy belongs to whoever writes it: a read-only file rewritten by
    // root would come back writable and root's own. Owner first, as a change of owner clears
    // some mode bits.
    struct stat old {};
    if (::stat(QFile::encodeName(path).constData(), &old) == 0) {
        if (::fchown(file.handle(), old.st_uid, old.st_gid) != 0 && ::geteuid() == 0) {
            file.cancelWriting();
            return false;
        }
        ::fchmod(file.handle(), old.st_mode & 0777);
    }
#endif
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool WriteTextFile(const QString& path, const QString& text) {
    if (path.isEmpty())
        return false;
    // Created exclusively: the open fails rather than follow a link put in its place between
    // the removal and the open.
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray bytes = ToGbk(text) + QByteArrayLiteral("\r\n");
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.close();
        QFile::remove(path);
        return false;
    }
    return true;
}

void RemoveStaleCopies(const QString& path) {
    // A writer's copy changes with every piece it writes and lives for as long as one write
    // takes, seconds at most; one unchanged for ten minutes belongs to a dead process. Should a
    // stopped writer ever lose its copy this way, its rename fails and the old file stays.
    constexpr qint64 staleAfterSeconds = 10 * 60;
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QLatin1Char('.');
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-staleAfterSeconds);
    const QFileInfoList entries = target.absoluteDir().entryInfoList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (name.size() != prefix.size() + 6 || !name.startsWith(prefix))
            continue;
        const QStringView tail = QStringView(name).sliced(prefix.size());
        if (!std::all_of(tail.begin(), tail.end(), [](QChar c) {
                return c.isDigit() || (c.isLetter() && c.unicode() < 128);
            }))
            continue;
#ifdef Q_OS_UNIX
        if (entry.ownerId() != ::geteuid())
            continue;
#endif
        if (entry.lastModified().toUTC() < before)
            QFile::remove(entry.filePath());
    }
}
