// Prints one address signed by the client's own code, for the independent
// OAuth cross-check (oauthlib_crosscheck.py).
//   oauth_sign_tool METHOD HOST PATH SECURE(0|1) CONSUMER_KEY CONSUMER_SECRET
//                   TOKEN_KEY|- TOKEN_SECRET [name=value ...]

#include "cloud/OauthUtility.h"

#include <cstdio>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    if (argc < 9) {
        std::fprintf(stderr, "usage: %s METHOD HOST PATH SECURE CK CS TK|- TS [name=value...]\n",
                     argv[0]);
        return 2;
    }
    const std::string method = argv[1];
    const ot::TConsumer consumer(argv[5], argv[6]);
    std::unique_ptr<ot::TAccessToken> token;
    if (std::string(argv[7]) != "-")
        token = std::make_unique<ot::TAccessToken>(argv[7], argv[8]);
    ot::TParamList params(argv + 9, argv + argc);
    const bool secure = std::string(argv[4]) == "1";
    ot::TKuaipanURL url = method == "POST"
                              ? ot::TOauthUtility::BuildPostURL(argv[2], argv[3], params, consumer,
                                                                token.get(), secure)
                              : ot::TOauthUtility::BuildGetURL(argv[2], argv[3], params, consumer,
                                                               token.get(), secure);
    std::printf("%s\n", url.QueryByGetUrl().c_str());
    return 0;
}
