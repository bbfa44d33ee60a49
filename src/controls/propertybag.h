#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <type_traits>

// The container-side store of a control's saved settings: named values, names compared without
// regard to case, kept in the order they were first written. A value written equal to its
// default is left out, so a reader gets the default back from its own table.
class PropertyBag {
  public:
    // The stored value of name, or defaultValue when the store has none.
    QVariant ReadProperty(const QString& name, const QVariant& defaultValue = {}) const;
    // Stores value under name, or removes name when value equals defaultValue.
    void WriteProperty(const QString& name, const QVariant& value,
                       const QVariant& defaultValue = {});

    // The stored value of name as a T, defaultValue when the store has none, and nothing when
    // the stored value cannot be read as a T (the caller then keeps what it has).
    template <typename T> std::optional<T> Read(const QString& name, const T& defaultValue) const {
        const qsizetype i = indexOf(name);
        if (i < 0)
            return defaultValue;
        const QVariant& value = m_entries[i].second;
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
            // Numbers must really be numbers: QVariant would read "red" as 0.
            bool ok = false;
            const qlonglong number = value.toLongLong(&ok);
            if (ok)
                return T(number);
            const qulonglong unsignedNumber = value.toULongLong(&ok);
            return ok ? std::optional<T>(T(unsignedNumber)) : std::nullopt;
        } else {
            if (!value.canConvert<T>())
                return std::nullopt;
            return value.value<T>();
        }
    }

    bool contains(const QString& name) const;
    // The stored names as first written.
    QStringList names() const;
    int count() const { return int(m_entries.size()); }
    void clear() { m_entries.clear(); }

  private:
    qsizetype indexOf(const QString& name) const;

    QList<std::pair<QString, QVariant>> m_entries;
};
