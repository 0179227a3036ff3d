#pragma once
// Authorizes the application for a user's account without showing the
// service's web pages: loads the authorise page (a request token's address
// from TKuaipanAPI::RequestToken), reads its hidden form fields and session
// cookie, submits the user name and password with them, and reads the
// authorisation code (the OAuth verifier) from the answer page.
//
// One object serves one login attempt; its client keeps the site's cookies
// between the page load and the form submission.

#include "cloud/CommonUtility.h"
#include "cloud/KuaipanHosts.h"

#include <memory>
#include <string>
#include <string_view>

namespace ot {

class THttpClient;

class TKuaipanAuthorise {
public:
    // AHosts: those of the session the authorise page's address came from.
    TKuaipanAuthorise(TKuaipanHosts AHosts, std::string AuthURL);
    ~TKuaipanAuthorise();
    TKuaipanAuthorise(const TKuaipanAuthorise&) = delete;
    TKuaipanAuthorise& operator=(const TKuaipanAuthorise&) = delete;

    // True: AResultStr holds the verifier. False: AResultStr holds the
    // reason ("Get params error from Kuaipan! Please try again later." when
    // the page could not be loaded or had none of the hidden fields, the
    // transport's or the site's error text, or empty).
    bool LoginAndAuthorise(const std::string& AUsername, const std::string& AUserpwd,
                           std::string& AResultStr);

    // What the page load left (for the caller's diagnostics and tests).
    const TParamList& AuthoriseFormParams() const { return FAuthoriseFormParams; }
    const std::string& SessionId() const { return FSessionId; }

    // The hidden fields "s", "app_name" and "oauth_token" found in a page,
    // as "name=value" in that order, values taken as written.
    static TParamList ParseAuthoriseForm(std::string_view APage);
    // From a Set-Cookie value: the text after the first "=" up to the first
    // ";" (empty when there is no ";" or it comes before the "=").
    static std::string ExtractCookieValue(std::string_view ASetCookie);
    // True with the code in AResultStr when the page shows it; false with the
    // site's error text (or empty) otherwise.
    static bool ParseAuthoriseResult(std::string_view APage, std::string& AResultStr);

private:
    bool LoadAuthorisePage();

    const TKuaipanHosts FHosts;
    TParamList FAuthoriseFormParams;
    std::unique_ptr<THttpClient> FIdHTTP;
    std::string FSessionId;
    std::string FAuthoriseURL;
};

} // namespace ot
