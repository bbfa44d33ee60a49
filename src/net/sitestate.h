#pragma once

#include <QList>
#include <QString>

#include <array>
#include <optional>

// The service's account of one site's cells: GET <maker base>/state.json?sUrl=SITE, a JSON page
// beside the query pages that says, for every column of the three result lists, whether a value
// is current, being measured, or why there is none.

struct CellState {
    QString status; // "ok", "not-found", "measuring", "network-error", ...
    // Why the value is not current, in Chinese, ready to follow "暂无数据："; "" when it is.
    QString reason;
    // The query page would send a value now (it sends -1 where there is none).
    bool hasValue = false;
};

struct SiteState {
    // False when the service has no such page or its answer is not the documented object.
    bool known = false;
    // Some cell is still being measured; readyInSeconds estimates when the next has a value.
    bool pending = false;
    std::optional<qint64> readyInSeconds;
    // Indexed pages, backlinks, ranks: the cells in the lists' column order.
    std::array<QList<CellState>, 3> pages;
};

// MakerUrl() + "/state.json?sUrl=" + site, the site as the query pages get it.
QString SiteStateAddress(const QString& site);

// The page's JSON text read defensively: wrong types are skipped, never trusted.
SiteState ParseSiteState(const QString& json);

// Asks the service through HttpGet (with its limits); an unknown state on any failure.
SiteState FetchSiteState(const QString& site);
