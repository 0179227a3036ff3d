#pragma once
// The web site pages of the account login. The hidden fields and the two result
// markers are what the program's login automation reads; the rest is for people
// using a browser.

#include <string>
#include <string_view>

namespace ot::server {

std::string HtmlEscape(std::string_view text);

std::string HomePage();
// The authorise form with its three hidden fields.
std::string AuthorisePage(std::string_view s, std::string_view appName,
                          std::string_view requestToken);
// The answer to a form submission: the authorisation code, or an error text.
std::string AuthoriseCodePage(std::string_view appName, std::string_view verifier);
std::string AuthoriseErrorPage(std::string_view message);

} // namespace ot::server
