#include "PgDb.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

namespace ot::server {

PgParam P(std::int64_t value) {
    return PgParam{std::to_string(value)};
}

PgParam P(std::string_view value) {
    return PgParam{std::string(value)};
}

PgParam Bytes(std::string value) {
    return PgParam{std::move(value), true};
}

PgParam Null() {
    return PgParam{{}, false, true};
}

PgParam Array(const std::vector<std::string>& values) {
    // Every element quoted, so that commas, braces, blanks and "NULL" stay text.
    std::string out = "{";
    for (const auto& v : values) {
        if (out.size() > 1)
            out += ',';
        out += '"';
        for (char c : v) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    out += '}';
    return PgParam{std::move(out)};
}

PgParam Array(const std::vector<std::int64_t>& values) {
    std::string out = "{";
    for (auto v : values) {
        if (out.size() > 1)
            out += ',';
        out += std::to_string(v);
    }
    out += '}';
    return PgParam{std::move(out)};
}

PgResult::~PgResult() {
    if (FRes)
        PQclear(FRes);
}

PgResult& PgResult::operator=(PgResult&& o) noexcept {
    if (this != &o) {
        if (FRes)
            PQclear(FRes);
        FRes = o.FRes;
        o.FRes = nullptr;
    }
    return *this;
}

int PgResult::Rows() const {
    return FRes ? PQntuples(FRes) : 0;
}

std::int64_t PgResult::Affected() const {
    const char* n = FRes ? PQcmdTuples(FRes) : "";
    return *n ? std::strtoll(n, nullptr, 10) : 0;
}

bool PgResult::IsNull(int row, int column) const {
    return PQgetisnull(FRes, row, column) != 0;
}

std::string PgResult::Text(int row, int column) const {
    return std::string(PQgetvalue(FRes, row, column),
                       static_cast<std::size_t>(PQgetlength(FRes, row, column)));
}

std::int64_t PgResult::Int(int row, int column) const {
    return IsNull(row, column) ? 0 : std::strtoll(PQgetvalue(FRes, row, column), nullptr, 10);
}

std::string PgResult::Bytes(int row, int column) const {
    return Text(row, column);
}

PgConn::PgConn(const std::string& conninfo, const std::string& applicationName) {
    // The address first, expanded; the name after it wins over one the address names.
    const char* keywords[] = {"dbname", "application_name", nullptr};
    const char* values[] = {conninfo.c_str(), applicationName.c_str(), nullptr};
    FConn = PQconnectdbParams(keywords, values, 1);
    if (!FConn || PQstatus(FConn) != CONNECTION_OK) {
        std::string why = FConn ? PQerrorMessage(FConn) : "out of memory";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        if (FConn)
            PQfinish(FConn);
        FConn = nullptr;
        throw PgError("cannot connect to PostgreSQL: " + why, {});
    }
    // Notices ("relation exists, skipping") are no news to the server's log.
    PQsetNoticeProcessor(
        FConn, [](void*, const char*) {}, nullptr);
}

PgConn::~PgConn() {
    if (FConn)
        PQfinish(FConn);
}

bool PgConn::Broken() const {
    return !FConn || PQstatus(FConn) != CONNECTION_OK;
}

bool PgConn::Alive() {
    // A server ending a connection sends why and closes it: the first read takes the
    // message (parsed by looking for notifications), the second finds the end.
    for (int read = 0; read < 2; ++read) {
        if (Broken() || PQconsumeInput(FConn) != 1)
            return false;
        while (PGnotify* n = PQnotifies(FConn))
            PQfreemem(n);
    }
    return !Broken();
}

bool PgConn::Idle() const {
    return !Broken() && PQtransactionStatus(FConn) == PQTRANS_IDLE;
}

void PgConn::Fail(const std::string& what, pg_result* r) {
    std::string state;
    std::string message = PQerrorMessage(FConn);
    if (r) {
        if (const char* s = PQresultErrorField(r, PG_DIAG_SQLSTATE))
            state = s;
        if (const char* m = PQresultErrorMessage(r); m && *m)
            message = m;
        PQclear(r);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    throw PgError(what + ": " + message, state);
}

PgResult PgConn::Exec(const std::string& sql, const std::vector<PgParam>& params,
                      bool binaryResult) {
    auto it = FPrepared.find(sql);
    if (it == FPrepared.end()) {
        std::string name = "s" + std::to_string(FPrepared.size());
        pg_result* r = PQprepare(FConn, name.c_str(), sql.c_str(), 0, nullptr);
        if (!r || PQresultStatus(r) != PGRES_COMMAND_OK)
            Fail("cannot prepare a statement", r);
        PQclear(r);
        it = FPrepared.emplace(sql, std::move(name)).first;
    }
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size()), formats(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        values[i] = params[i].Null ? nullptr : params[i].Value.data();
        lengths[i] = static_cast<int>(params[i].Value.size());
        formats[i] = params[i].Binary ? 1 : 0;
    }
    pg_result* r =
        PQexecPrepared(FConn, it->second.c_str(), static_cast<int>(params.size()), values.data(),
                       lengths.data(), formats.data(), binaryResult ? 1 : 0);
    const auto status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail("a statement failed", r);
    return PgResult(r);
}

void PgConn::Run(const std::string& sql) {
    pg_result* r = PQexec(FConn, sql.c_str());
    const auto status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail("a statement failed", r);
    PQclear(r);
}

PgPool::PgPool(std::string conninfo, std::string applicationName, std::string setup)
    : FConninfo(std::move(conninfo)), FApplicationName(std::move(applicationName)),
      FSetup(std::move(setup)) {}

PgPool::~PgPool() = default;

PgPool::Lease::~Lease() {
    if (FConn)
        FPool.GiveBack(std::move(FConn));
}

PgPool::Lease PgPool::Take() {
    {
        std::lock_guard lock(FMutex);
        while (!FIdle.empty()) {
            auto conn = std::move(FIdle.back());
            FIdle.pop_back();
            if (conn->Alive())
                return Lease(*this, std::move(conn));
        }
    }
    auto conn = std::make_unique<PgConn>(FConninfo, FApplicationName);
    if (!FSetup.empty())
        conn->Run(FSetup);
    return Lease(*this, std::move(conn));
}

void PgPool::GiveBack(std::unique_ptr<PgConn> conn) {
    // A connection PostgreSQL closed (a restart, an administrator), or one left inside a
    // transaction, is dropped; the next request opens a fresh one.
    if (!conn->Idle())
        return;
    std::lock_guard lock(FMutex);
    if (FIdle.size() < 64)
        FIdle.push_back(std::move(conn));
}

void PgPool::Backoff(int attempt) {
    thread_local std::minstd_rand random{std::random_device{}()};
    const int ceiling = 1 << std::min(attempt, 6); // up to 64 ms
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % (ceiling * 1000)));
}

} // namespace ot::server
