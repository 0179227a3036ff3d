#pragma once
// The client of the cloud OpenAPI: one method per service operation. Each
// builds its path and parameters, signs the request with the session's
// consumer and current token, sends it and turns the JSON reply into a
// result record (or hands back the raw response).
//
// Failures:
//   - a reply 401 with "msg" "authorization expired" raises
//     TKuaipanAuthExpiredException (every operation that reads a record and
//     both token operations);
//   - a reply body that is not a JSON object raises TKuaipanIOException;
//   - any other failed call raises nothing: records come back with empty
//     fields, Move/Delete/downloads hand back the response (success is
//     Code 200);
//   - UploadFile also raises what locating the upload host and reading the
//     local file raise (TKuaipanIOException, std::filesystem::filesystem_error).
//
// Hosts and schemes: the API host for tokens and account information over
// TLS, for everything else over plain HTTP; the content host for downloads;
// the conversion host for thumbnails and document views; the located upload
// host for uploads (plain HTTP). The session's hosts decide the addresses and
// whether everything goes over TLS.

#include "cloud/KuaipanFile.h"
#include "cloud/KuaipanHTTPUtility.h"
#include "cloud/KuaipanHosts.h"
#include "cloud/Session.h"

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

namespace ot {

enum class TConvType { PDF, DOC, WPS, CSV, PRN, XLS, ET, PPT, DPS, TXT, RTF };
enum class TConvView { NORMAL, ANDROID, IPAD, IPHONE };

std::string ConvTypeToString(TConvType AType); // "pdf", "doc", ...
std::string ConvViewToString(TConvView AView); // "normal", "android", "iPad", "iphone"

class TKuaipanAPI {
public:
    // Raises std::invalid_argument("Illegal Argument") for a null session.
    // The session is shared with its creator (and the login flow).
    explicit TKuaipanAPI(std::shared_ptr<TSession> ASession);

    TSession& GetSession() const { return *FSession; }

    // Starts an authorization: drops the session's token, asks for a request
    // token, keeps it in the session and answers the address of the
    // authorise page. Raises TKuaipanIOException when the reply lacks the
    // token pair.
    std::string RequestToken();
    // Exchanges the session's request token (and the verifier, when not
    // empty) for an access token, kept in the session. Raises
    // TKuaipanIOException when the reply lacks the token pair.
    void AccessToken(const std::string& AVerifier);

    TKuaipanUser AccountInfo();
    TKuaipanPublicLink Shares(const std::string& APath, const std::string& AName,
                              const std::string& AAccess_Code);
    // Raises TKuaipanAuthExpiredException, before sending, without an access
    // token. IsList asks for the children of a folder.
    TKuaipanFile Metadata(const std::string& APath, bool IsList);
    TKuaipanFile CreateFolder(const std::string& APath);
    // AIfRev, when given, makes a move, delete or upload conditional: the
    // service refuses it with status 409 (and changes nothing) unless the
    // file at the (source) path still has that revision. A service that does
    // not know the parameter ignores it.
    TKuaipanHTTPResponse Move(const std::string& AFromPath, const std::string& AToPath,
                              const std::string& AIfRev = {});
    TKuaipanFile Copy(const std::string& AFromPath, const std::string& AToPath);
    TKuaipanHTTPResponse Delete(const std::string& APath, bool IsTo_Recycle,
                                const std::string& AIfRev = {});
    TKuaipanHTTPResponse Thumbnail(int AWidth, int AHeight, const std::string& APath,
                                   std::ostream& AOutStream,
                                   const TProgressListener* AListener = nullptr);
    TKuaipanHTTPResponse Thumbnail(const std::string& APath, std::ostream& AOutStream,
                                   const TProgressListener* AListener = nullptr);
    TKuaipanHTTPResponse DocumentView(TConvType AType, TConvView AView, const std::string& APath,
                                      bool IsZip, std::ostream& AOutStream,
                                      const TProgressListener* AListener = nullptr);
    // The file's bytes go into AOutStream only when the reply is 200.
    TKuaipanHTTPResponse DownloadFile(const std::string& APath, std::ostream& AOutStream,
                                      const TProgressListener* AListener = nullptr);
    // Stores the local file AFileName as APath; the record of the stored file.
    // A refused conditional upload gives a record without file_id whose
    // conflict is set.
    TKuaipanFile UploadFile(const std::string& APath, const std::string& AFileName,
                            bool IsOverWrite, const TProgressListener* AListener = nullptr,
                            const std::string& AIfRev = {});
    // The same for a file whose bytes the caller has read already.
    TKuaipanFile UploadData(const std::string& APath, const std::string& AData, bool IsOverWrite,
                            const std::string& AIfRev = {});

    // A server that answers 503 with "Retry-After" asks its client to slow
    // down: the request is signed and sent again after that pause, up to
    // MaxBackOffs times. The pause is taken by this function (the caller's,
    // which can cut it short by answering false: the 503 is then the reply);
    // without one the calling thread sleeps.
    using TBackOff = std::function<bool(std::chrono::seconds)>;
    void SetBackOff(TBackOff ABackOff) { FBackOff = std::move(ABackOff); }
    static constexpr int MaxBackOffs = 8;
    static constexpr std::chrono::seconds MaxBackOffPause{60};

private:
    using TEndpointField = TKuaipanEndpoint TKuaipanHosts::*;

    // A GET signed with the session's consumer and (when withToken) its token
    // at this instant.
    TKuaipanURL SignedGet(TEndpointField endpoint, bool IsSecure, const std::string& ALocation,
                          const TParamList& AParams, bool withToken = true) const;
    // A GET under the session's hosts.
    TKuaipanHTTPResponse RequestByGET(const TKuaipanURL& AUrl) const;
    std::optional<TParamList> CheckResponse(const TKuaipanHTTPResponse& AResponse) const;
    // CheckResponse made into a file's record.
    TKuaipanFile FileReply(const TKuaipanHTTPResponse& AResponse) const;
    // For the calls whose status is their result: only a refused timestamp
    // raises.
    void CheckStatusReply(const TKuaipanHTTPResponse& AResponse) const;
    TKuaipanHTTPResponse RequestToStream(TEndpointField endpoint, const std::string& ALocation,
                                         TParamList AParams, const std::string& APath,
                                         std::ostream& AOutStream,
                                         const TProgressListener* AListener) const;
    std::string PathPart(const std::string& APath) const;
    // An upload to APath, its bytes sent by send.
    TKuaipanFile Upload(const std::string& APath, bool IsOverWrite, const std::string& AIfRev,
                        const std::function<TKuaipanHTTPResponse(const TKuaipanURL&)>& send);
    // send() signed anew each time the server asks for a pause.
    template <typename Send> TKuaipanHTTPResponse WithBackOff(Send send) const;

    std::shared_ptr<TSession> FSession;
    // Copies of a client share its upload host (they share the session).
    std::shared_ptr<TKuaipanHTTPUtility::UploadHostFactory> FUploadHosts;
    TBackOff FBackOff;
};

} // namespace ot
