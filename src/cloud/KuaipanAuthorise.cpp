#include "cloud/KuaipanAuthorise.h"

#include "cloud/HttpClient.h"
#include "cloud/OauthUtility.h"
#include "common/Text.h"

namespace ot {

namespace {

constexpr std::string_view ParamsErrorText =
    "Get params error from Kuaipan! Please try again later.";
constexpr std::string_view UserAgent =
    "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0; SLCC2; .NET CLR "
    "2.0.50727; .NET CLR 3.5.30729; .NET CLR 3.0.30729; Media Center PC 6.0)";

bool IsSuccess(const THttpResult& r) {
    return r.Ok && r.Status >= 200 && r.Status < 300;
}

std::string FailureText(const THttpResult& r) {
    if (!r.Ok)
        return r.Error;
    return r.StatusLine.empty() ? "HTTP " + std::to_string(r.Status) : r.StatusLine;
}

// The text between the three markers, each searched from where the one
// before it was found (the third from the end of the second).
bool Between(std::string_view page, std::string_view box, std::string_view start,
             std::string_view end, std::string& out) {
    const auto b = page.find(box);
    if (b == std::string_view::npos)
        return false;
    const auto s = page.find(start, b);
    if (s == std::string_view::npos)
        return false;
    const auto from = s + start.size();
    const auto e = page.find(end, from);
    if (e == std::string_view::npos)
        return false;
    out = std::string(page.substr(from, e - from));
    return true;
}

} // namespace

TKuaipanAuthorise::TKuaipanAuthorise(TKuaipanHosts AHosts, std::string AuthURL)
    : FHosts(std::move(AHosts)), FIdHTTP(TKuaipanHTTPUtility::GetIdHTTP(FHosts)),
      FAuthoriseURL(std::move(AuthURL)) {
    FIdHTTP->EnableCookies();
}

TKuaipanAuthorise::~TKuaipanAuthorise() = default;

TParamList TKuaipanAuthorise::ParseAuthoriseForm(std::string_view APage) {
    TParamList out;
    for (const char* field : {"s", "app_name", "oauth_token"}) {
        const std::string marker = std::string("type=\"hidden\" name=\"") + field + "\" value=\"";
        const auto s = APage.find(marker);
        if (s == std::string_view::npos)
            continue;
        const auto from = s + marker.size();
        const auto e = APage.find("\"/>", from);
        if (e == std::string_view::npos)
            continue;
        out.push_back(std::string(field) + "=" + std::string(APage.substr(from, e - from)));
    }
    return out;
}

std::string TKuaipanAuthorise::ExtractCookieValue(std::string_view ASetCookie) {
    const auto eq = ASetCookie.find('=');
    const auto from = eq == std::string_view::npos ? 0 : eq + 1;
    const auto semi = ASetCookie.find(';');
    if (semi == std::string_view::npos || semi < from)
        return {};
    return std::string(ASetCookie.substr(from, semi - from));
}

bool TKuaipanAuthorise::ParseAuthoriseResult(std::string_view APage, std::string& AResultStr) {
    AResultStr.clear();
    if (Between(APage, "<div class=\"mid cnt clearfix\">", "<div>授权码：<strong>",
                "</strong></div>", AResultStr))
        return true;
    AResultStr.clear();
    if (!Between(APage, "<div class=\"errorbox\">", "<div>授权错误：<strong>", "</strong></div>",
                 AResultStr))
        AResultStr.clear();
    return false;
}

bool TKuaipanAuthorise::LoadAuthorisePage() {
    FAuthoriseFormParams.clear();
    FSessionId.clear();
    const THttpResult r = FIdHTTP->Get(FAuthoriseURL);
    if (!IsSuccess(r))
        return false;
    FAuthoriseFormParams = ParseAuthoriseForm(r.Body);
    for (const auto& line : r.HeaderLines) {
        const auto colon = line.find(':');
        if (colon != std::string::npos &&
            ToLowerAscii(Trim(line.substr(0, colon))) == "set-cookie") {
            FSessionId = ExtractCookieValue(Trim(line.substr(colon + 1)));
            break;
        }
    }
    return !FAuthoriseFormParams.empty();
}

bool TKuaipanAuthorise::LoginAndAuthorise(const std::string& AUsername, const std::string& AUserpwd,
                                          std::string& AResultStr) {
    if (!LoadAuthorisePage()) {
        AResultStr = ParamsErrorText;
        return false;
    }

    TParamList entries{"username=" + AUsername, "userpwd=" + AUserpwd};
    entries.insert(entries.end(), FAuthoriseFormParams.begin(), FAuthoriseFormParams.end());
    std::vector<THttpPart> parts;
    for (const auto& e : entries)
        parts.push_back(THttpPart{std::string(ParamName(e)),
                                  TOauthUtility::UrlFormEncode(ParamValue(e)), "", "", ""});

    const std::string site = "https://" + FHosts.Site.Secure;
    // The cookie store sends the page's cookies as well; an empty value would
    // make an empty header, so it is left out then.
    std::vector<std::string> headers;
    if (!FSessionId.empty())
        headers.push_back("Cookie: " + FSessionId);
    FIdHTTP->SetExtraHeaders(headers);
    FIdHTTP->SetReferer(site + "/api.php?ac=open&op=authorise&oauth_token=" +
                        GetValueByName(FAuthoriseFormParams, "oauth_token"));
    FIdHTTP->SetUserAgent(std::string(UserAgent));

    const THttpResult r =
        FIdHTTP->PostMultipart(site + "/api.php?ac=open&op=authorisecheck", parts);
    if (!IsSuccess(r)) {
        AResultStr = FailureText(r);
        return false;
    }
    return ParseAuthoriseResult(r.Body, AResultStr);
}

} // namespace ot
