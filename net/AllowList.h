#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

// The peers --allow lets in, ADDRESS/PREFIX or a single ADDRESS each; an
// empty list lets in anyone who reaches the address.
class AllowList
{
public:
    static std::optional<AllowList> Parse(const QStringList& texts, QString* error = nullptr);

    // An IPv4 peer of a dual-stack socket is matched by its IPv4 address.
    bool Admits(const QHostAddress& peer) const;
    bool Empty() const { return subnets_.empty(); }

private:
    std::vector<std::pair<QHostAddress, int>> subnets_;
};
