#pragma once
// A signed request address: the address itself and, for a POST, the signed
// parameters kept apart as the query text.

#include <optional>
#include <string>
#include <vector>

namespace ot {

class TKuaipanURL {
public:
    TKuaipanURL() = default;
    explicit TKuaipanURL(std::string AUrl) : FUrl(std::move(AUrl)) {}
    TKuaipanURL(std::string AUrl, std::string AQuery)
        : FUrl(std::move(AUrl)), FQuery(std::move(AQuery)) {}
    TKuaipanURL(std::string AUrl, std::string AQuery, std::vector<std::string> AHeaders)
        : FUrl(std::move(AUrl)), FQuery(std::move(AQuery)), FHeaders(std::move(AHeaders)) {}

    // Scheme, host and path; for a GET address also "?" and the query.
    const std::string& Url() const { return FUrl; }
    // The encoded parameters without "?"; empty once converted to a GET address.
    const std::string& Query() const { return FQuery; }
    const std::optional<std::vector<std::string>>& Headers() const { return FHeaders; }

    // Url + "?" + Query, or Url alone when there is no query.
    std::string QueryByGetUrl() const;
    // Makes this a GET address: the query moves into Url.
    void Convert2Get();
    // "\nurl=...\nquery=...\nheaders=", then each header line ended by "\n".
    std::string ToString() const;

private:
    std::string FUrl;
    std::string FQuery;
    std::optional<std::vector<std::string>> FHeaders;
};

} // namespace ot
