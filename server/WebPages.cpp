#include "WebPages.h"

#include "common/Text.h"

namespace ot::server {

namespace {

std::string Page(std::string_view title, std::string_view body) {
    std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    out += HtmlEscape(title);
    out += "</title></head>\n<body>\n";
    out += body;
    out += "\n</body></html>\n";
    return out;
}

} // namespace

std::string HtmlEscape(std::string_view text) {
    return MarkupEscaped(text, true);
}

std::string HomePage() {
    return Page("otCloudServer",
                "<h1>otCloudServer</h1>\n"
                "<p>This server keeps the task lists of otTodolist in sync between your "
                "computers. Bind an account from the program's settings.</p>");
}

std::string AuthorisePage(std::string_view s, std::string_view appName,
                          std::string_view requestToken) {
    std::string app = HtmlEscape(appName);
    std::string body = "<div class=\"mid cnt clearfix\">\n<h1>Authorise " + app + "</h1>\n";
    body += "<p>" + app + " asks for access to its own folder in your account.</p>\n";
    body += "<form method=\"post\" action=\"/api.php?ac=open&amp;op=authorisecheck\">\n";
    body += "<input type=\"hidden\" name=\"s\" value=\"" + HtmlEscape(s) + "\"/>\n";
    body += "<input type=\"hidden\" name=\"app_name\" value=\"" + app + "\"/>\n";
    body += "<input type=\"hidden\" name=\"oauth_token\" value=\"" + HtmlEscape(requestToken) +
            "\"/>\n";
    body += "<p><label>User name <input type=\"text\" name=\"username\"/></label></p>\n";
    body += "<p><label>Password <input type=\"password\" name=\"userpwd\"/></label></p>\n";
    body += "<p><button type=\"submit\">Authorise</button></p>\n</form>\n</div>";
    return Page("Authorise " + std::string(appName), body);
}

std::string AuthoriseCodePage(std::string_view appName, std::string_view verifier) {
    std::string body = "<div class=\"mid cnt clearfix\">\n<p>" + HtmlEscape(appName) +
                       " may now use its folder in your account.</p>\n";
    body += "<div>授权码：<strong>" + HtmlEscape(verifier) + "</strong></div>\n</div>";
    return Page("Authorised", body);
}

std::string AuthoriseErrorPage(std::string_view message) {
    std::string body = "<div class=\"errorbox\">\n<div>授权错误：<strong>" + HtmlEscape(message) +
                       "</strong></div>\n</div>";
    return Page("Authorisation failed", body);
}

} // namespace ot::server
