#pragma once

#include <QTest>

// One row of a data-driven test, its values in column order.
template <typename... T> void addRow(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}
