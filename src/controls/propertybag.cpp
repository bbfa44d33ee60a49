#include "controls/propertybag.h"

#include <QPixmap>

namespace {

bool isPicture(const QVariant& v) {
    return v.metaType() == QMetaType::fromType<QPixmap>();
}

bool isNoPicture(const QVariant& v) {
    return !v.isValid() || (isPicture(v) && v.value<QPixmap>().isNull());
}

// QVariant cannot compare pictures: two are the same when both are empty or when they share
// their pixel data.
bool sameValue(const QVariant& a, const QVariant& b) {
    if (isPicture(a) || isPicture(b)) {
        if (isNoPicture(a) || isNoPicture(b))
            return isNoPicture(a) && isNoPicture(b);
        return isPicture(a) && isPicture(b) &&
               a.value<QPixmap>().cacheKey() == b.value<QPixmap>().cacheKey();
    }
    if (!a.isValid() || !b.isValid())
        return a.isValid() == b.isValid();
    return a == b;
}

} // namespace

qsizetype PropertyBag::indexOf(const QString& name) const {
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].first.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QVariant PropertyBag::ReadProperty(const QString& name, const QVariant& defaultValue) const {
    const qsizetype i = indexOf(name);
    return i < 0 ? defaultValue : m_entries[i].second;
}

void PropertyBag::WriteProperty(const QString& name, const QVariant& value,
                                const QVariant& defaultValue) {
    const qsizetype i = indexOf(name);
    if (sameValue(value, defaultValue)) {
        if (i >= 0)
            m_entries.removeAt(i);
        return;
    }
    if (i >= 0)
        m_entries[i].second = value;
    else
        m_entries.append({name, value});
}

bool PropertyBag::contains(const QString& name) const {
    return indexOf(name) >= 0;
}

QStringList PropertyBag::names() const {
    QStringList result;
    for (const auto& entry : m_entries)
        result.append(entry.first);
    return result;
}
