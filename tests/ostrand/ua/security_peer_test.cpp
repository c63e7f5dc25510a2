// Secured sessions against the node-opcua peer started with --security
// (Aes256_Sha256_RsaPss, Basic256Sha256 and Aes128_Sha256_RsaOaep, each Sign
// and SignAndEncrypt, a user name, client certificates accepted): the endpoint chosen from the list file's options, the server's
// certificate first rejected into rejected/ and trusted once moved, sessions
// that read in both modes, a wrong password, a certificate whose
// application URI is not the server's, and a man in the middle of the
// unsecured path who rewrites what the server answers.
#include "../../support/fault_proxy.h"
#include "../../support/temp_dir.h"
#include "../../support/ua_peer.h"
#include "../recorder.h"
#include "ostrand.h"
#include "ua/client/connection_settings.h"
#include "ua/client/loop.h"
#include "ua/encoding/codec.h"
#include "ua/secure_channel/pki.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using quorvane::test::TempDir;

constexpr Millis kWait = 20s;
constexpr const char* kPolicies = "Basic256Sha256,Aes128_Sha256_RsaOaep,Aes256_Sha256_RsaPss";

class UaSecurityPeerTest : public quorvane::test::UaPeerSuite<UaSecurityPeerTest> {
public:
    static std::vector<std::string> PeerArgs() {
        dir_ = std::make_unique<TempDir>(); // outlives the peer: removed at exit
        return {"--big-folder", "0",      "--security", (dir_->path / "server").string(),
                "--policies",   kPolicies, "--user",     "operator:peer-secret"};
    }

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp());
        ASSERT_TRUE(loop_.start());
        WritePassword("good.pw", "peer-secret");
        WritePassword("bad.pw", "not-the-password");
    }

    void WritePassword(const std::string& name, const std::string& password) {
        const fs::path file = dir_->path / name;
        std::ofstream(file) << password << "\n";
        ::chmod(file.c_str(), 0600);
    }

    std::vector<EndpointDescription> Endpoints() {
        UaLoop::ConnectionId id = 0;
        auto opened = loop_.open(peer_->Url(), UaSettings{}, &id);
        EXPECT_TRUE(opened->wait_for(kWait));
        EXPECT_EQ(opened->status(), status::Good);
        GetEndpointsRequest get;
        get.endpoint_url = peer_->Url();
        auto done = loop_.request(id, get);
        EXPECT_TRUE(done->wait_for(kWait));
        loop_.close(id)->wait_for(kWait);
        const Response r = done->response();
        const auto* endpoints = std::get_if<GetEndpointsResponse>(&r);
        return endpoints ? endpoints->endpoints : std::vector<EndpointDescription>{};
    }

    // Opens a session as the options ask; its status, and on Good reads the
    // server state through it.
    StatusCode Session(const SecuritySetup& setup) {
        UaSettings settings;
        settings.security = setup.security;
        UaLoop::ConnectionId id = 0;
        auto opened = loop_.open(peer_->Url(), settings, &id);
        if (!opened->wait_for(kWait)) return status::BadTimeout;
        if (opened->status() != status::Good) return opened->status();
        ReadRequest read;
        ReadValueId state;
        state.node_id = NodeId::numeric_id(0, node::Server_ServerStatus_State);
        read.nodes_to_read.push_back(state);
        auto done = loop_.request(id, read);
        EXPECT_TRUE(done->wait_for(kWait));
        const Response r = done->response();
        const auto* values = std::get_if<ReadResponse>(&r);
        EXPECT_TRUE(values && values->results.size() == 1 && values->results[0].value &&
                    values->results[0].value->get<kInt32>() && *values->results[0].value->get<kInt32>() == 0);
        loop_.close(id)->wait_for(kWait);
        return done->status();
    }

    static inline std::unique_ptr<TempDir> dir_;
    SystemClock clock_;
    UaLoop loop_{clock_};
};

TEST_F(UaSecurityPeerTest, TrustedServerSessionsSignAndEncryptWithAUserName) {
    const std::vector<EndpointDescription> endpoints = Endpoints();
    ASSERT_GE(endpoints.size(), 3u);
    Pki pki(dir_->path / "client");
    const std::string uri = UaSettings::default_description().application_uri.value_or("");
    const std::map<std::string, std::string> options{
        {"user", "operator"}, {"password-file", (dir_->path / "good.pw").string()}};
    StatusCode st = status::Good;
    std::string error;

    // Without options: SignAndEncrypt. First the server is not trusted.
    EXPECT_FALSE(prepare_security(endpoints, options, pki, uri, "127.0.0.1", &st, &error));
    EXPECT_EQ(st, kBadCertificateUntrusted);
    std::vector<fs::path> rejected;
    for (const auto& e : fs::directory_iterator(pki.root() / "rejected")) rejected.push_back(e.path());
    ASSERT_EQ(rejected.size(), 1u); // the words of the refusal: UaPki tests and the ConnectServer test below
    fs::rename(rejected[0], pki.root() / "trusted/certs" / rejected[0].filename());

    // Each policy in each mode; without options the most secure of them.
    for (const char* policy : {"", "Aes256_Sha256_RsaPss", "Basic256Sha256", "Aes128_Sha256_RsaOaep"}) {
        for (const char* mode : {"", "Sign", "SignAndEncrypt"}) {
            if (*mode == '\0' && *policy != '\0') continue;
            SCOPED_TRACE(testing::Message() << policy << " " << mode);
            auto with_mode = options;
            if (*mode) with_mode["mode"] = mode;
            if (*policy) with_mode["policy"] = policy;
            const auto setup = prepare_security(endpoints, with_mode, pki, uri, "127.0.0.1", &st, &error);
            ASSERT_TRUE(setup) << error;
            EXPECT_EQ(setup->endpoint.security_mode,
                      std::string(mode) == "Sign" ? MessageSecurityMode::Sign : MessageSecurityMode::SignAndEncrypt);
            EXPECT_EQ(setup->endpoint.security_policy_uri,
                      std::string(find_suite(*policy ? policy : "Aes256_Sha256_RsaPss")->uri));
            EXPECT_EQ(Session(*setup), status::Good);
        }
    }
    // The server signs with the key of the certificate we trusted; anonymous
    // and a user name over None (the password still encrypted) work too.
    for (const auto& extra : {std::map<std::string, std::string>{{"mode", "None"}},
                              std::map<std::string, std::string>{{"mode", "Sign"}}}) {
        const auto setup = prepare_security(endpoints, extra, pki, uri, "127.0.0.1", &st, &error);
        ASSERT_TRUE(setup) << error;
        EXPECT_EQ(Session(*setup), status::Good);
    }
    auto none_user = options;
    none_user["mode"] = "None";
    const auto over_none = prepare_security(endpoints, none_user, pki, uri, "127.0.0.1", &st, &error);
    ASSERT_TRUE(over_none) << error;
    EXPECT_EQ(Session(*over_none), status::Good);

    // A wrong password is the server's refusal, not a channel failure.
    auto wrong = options;
    wrong["password-file"] = (dir_->path / "bad.pw").string();
    const auto bad = prepare_security(endpoints, wrong, pki, uri, "127.0.0.1", &st, &error);
    ASSERT_TRUE(bad) << error;
    EXPECT_EQ(Session(*bad), status::BadUserAccessDenied);

    // The same certificate presented for another application URI is refused.
    auto renamed = endpoints;
    for (auto& ep : renamed) ep.server.application_uri = std::string("urn:opcua-peer:impostor");
    EXPECT_FALSE(prepare_security(renamed, {{"mode", "Sign"}}, pki, uri, "127.0.0.1", &st, &error));
    EXPECT_EQ(st, kBadCertificateUriInvalid);
    EXPECT_NE(error.find("urn:opcua-peer:impostor"), std::string::npos) << error;
}

// The gateway's way in: ConnectServer with the options on the endpoint's line
// of the list file, the PKI under $XDG_CONFIG_HOME.
TEST_F(UaSecurityPeerTest, ConnectServerTakesSecurityFromTheListFile) {
    const fs::path config = dir_->path / "config";
    fs::create_directories(config / "ostrand");
    std::ofstream(config / "ostrand/servers.conf")
        << peer_->Url() << " mode=SignAndEncrypt policy=Basic256Sha256 user=operator password-file="
        << (dir_->path / "good.pw").string() << "\n";
    const quorvane::test::ConfigHome home(config);
    ASSERT_EQ(OstrandInitialize(), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(ConnectServer("", peer_->Url().c_str(), 0), -1) << "the server is not trusted yet";
    const std::string untrusted = testing::internal::GetCapturedStderr();
    const fs::path pki = config / "ostrand/pki";
    std::vector<fs::path> rejected;
    for (const auto& e : fs::directory_iterator(pki / "rejected")) rejected.push_back(e.path());
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_NE(untrusted.find(rejected[0].string()), std::string::npos) << untrusted;
    EXPECT_NE(untrusted.find("move that file to " + (pki / "trusted/certs").string()), std::string::npos) << untrusted;
    fs::rename(rejected[0], pki / "trusted/certs" / rejected[0].filename());

    const int32_t s = ConnectServer("", peer_->Url().c_str(), 0);
    EXPECT_GT(s, 0);
    char vendor[128];
    ServerStatus status{};
    status.vendorInfo = vendor;
    EXPECT_EQ(GetServerStatus(s, &status, sizeof vendor), 1);
    EXPECT_EQ(status.serverState, 1);
    DisconnectServer(s);

    // Subscribed under each policy in both modes, through a proxy that cuts
    // the connection once: the secured session is reactivated on a new
    // secured channel.
    quorvane::test::FaultProxy proxy(peer_->Port());
    ASSERT_TRUE(proxy.Start());
    std::vector<std::pair<const PolicySuite*, const char*>> rows;
    for (const PolicySuite* policy : kSecuredPolicies)
        for (const char* mode : {"Sign", "SignAndEncrypt"}) rows.emplace_back(policy, mode);
    for (const auto& [policy, mode] : rows) {
        SCOPED_TRACE(testing::Message() << policy->name << " " << mode);
        std::ofstream(config / "ostrand/servers.conf")
            << proxy.Url() << " mode=" << mode << " policy=" << policy->name
            << " user=operator password-file=" << (dir_->path / "good.pw").string() << "\n";
        opc_test::Recorder::instance().clear();
        const int32_t secured = ConnectServer("", proxy.Url().c_str(), 0);
        ASSERT_GT(secured, 0);
        ASSERT_EQ(EnableDataCallback(secured, &opc_test::Recorder::callback), 1);
        int32_t rate = 100;
        float deadband = 0;
        const int32_t g = AddGroup(secured, "g", &rate, &deadband);
        const int32_t speed = AddItem(secured, g, "Channel1.Device1.Speed");
        ASSERT_TRUE(opc_test::Recorder::instance().wait_for(g, speed, 2, kWait));
        proxy.Cut();
        ASSERT_TRUE(opc_test::Recorder::instance().wait_until(g, speed, kWait, [](const auto& events) {
            return events.size() >= 4 && events[events.size() - 2].quality == 192 && events.back().quality == 192 &&
                   std::any_of(events.begin(), events.end(), [](const auto& e) { return e.quality == 0; });
        }));
        DisconnectServer(secured);
    }

    // A wrong password says so.
    std::ofstream(config / "ostrand/servers.conf")
        << peer_->Url() << " mode=Sign user=operator password-file=" << (dir_->path / "bad.pw").string() << "\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ConnectServer("", peer_->Url().c_str(), 0), -1);
    const std::string wrong = testing::internal::GetCapturedStderr();
    EXPECT_NE(wrong.find("refused the user name or password"), std::string::npos) << wrong;

    OstrandUninitialize();
}

// Whole MSG chunks of a channel without security, as a man in the middle
// reads and rewrites them: headers (24 bytes) and the message.
struct PlainChunk {
    static constexpr size_t kHeaders = 24;
    template <class Message>
    static bool Read(const std::vector<uint8_t>& chunk, Message* out) {
        if (chunk.size() <= kHeaders || chunk[0] != 'M' || chunk[1] != 'S' || chunk[2] != 'G') return false;
        Reader r{std::span<const uint8_t>(chunk).subspan(kHeaders)};
        if constexpr (std::is_same_v<Message, Response>) return decode_response(r, *out);
        else return decode_request(r, *out);
    }
    static void Write(std::vector<uint8_t>& chunk, const Response& response) {
        Writer w;
        encode_response(w, response);
        chunk.resize(kHeaders);
        chunk.insert(chunk.end(), w.bytes().begin(), w.bytes().end());
        const auto size = static_cast<uint32_t>(chunk.size());
        for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
};

// The attacks: what the man in the middle changes in GetEndpoints and
// CreateSession answers (on an unsecured channel, or GetEndpoints' own
// unsecured channel), with the options of the list file. Each must end
// without a session and without a password the attacker can read.
TEST_F(UaSecurityPeerTest, AManInTheMiddleGetsNeitherThePasswordNorASession) {
    const fs::path config = dir_->path / "mitm";
    const fs::path pki = config / "ostrand/pki";
    for (const fs::path& d : {config, config / "ostrand", pki, pki / "trusted", pki / "trusted/certs"})
        ::mkdir(d.c_str(), 0700);
    fs::copy_file(dir_->path / "server/own/certs/server_certificate.pem", pki / "trusted/certs/peer.pem",
                  fs::copy_options::overwrite_existing);
    const quorvane::test::ConfigHome home(config);

    const crypto::RsaKey attacker = crypto::RsaKey::generate(2048);
    const crypto::Bytes attacker_certificate = make_certificate(attacker, "urn:attacker", "127.0.0.1", 30);
    const ByteString forged = std::string(attacker_certificate.begin(), attacker_certificate.end());
    using Endpoints = std::vector<EndpointDescription>;
    auto keep = [](Endpoints& list, auto wanted) { std::erase_if(list, [&](const auto& ep) { return !wanted(ep); }); };
    auto none_only = [&](Endpoints& list) {
        keep(list, [](const EndpointDescription& ep) { return ep.security_mode == MessageSecurityMode::None; });
    };

    struct Attack {
        const char* what;
        const char* mode; // "": no mode= option
        std::function<void(Endpoints&)> endpoints;
        std::function<void(CreateSessionResponse&)> session;
        StatusCode want;  // Good: refused before any connection
        const char* says; // in the refusal before a connection
    };
    const Attack attacks[] = {
        {"endpoints without a certificate, the session with the attacker's", "None",
         [&](Endpoints& l) {
             none_only(l);
             for (auto& ep : l) ep.server_certificate.reset();
         },
         [&](CreateSessionResponse& r) { r.server_certificate = forged; }, status::Good,
         "names no server certificate"},
        {"the attacker's certificate in the endpoints", "None",
         [&](Endpoints& l) {
             for (auto& ep : l) ep.server_certificate = forged;
         },
         [&](CreateSessionResponse& r) { r.server_certificate = forged; }, status::Good, "application URI"},
        {"the attacker's certificate in the session only", "None", nullptr,
         [&](CreateSessionResponse& r) { r.server_certificate = forged; }, kBadCertificateInvalid, ""},
        {"endpoint list cut to Sign", "",
         [&](Endpoints& l) {
             keep(l, [](const EndpointDescription& ep) { return ep.security_mode == MessageSecurityMode::Sign; });
         },
         nullptr, status::BadSecurityChecksFailed, ""},
        {"endpoint list cut to None", "", none_only, nullptr, status::BadSecurityChecksFailed, ""},
        {"session's endpoint list cut to None", "None", nullptr,
         [&](CreateSessionResponse& r) { none_only(r.server_endpoints); }, status::BadSecurityChecksFailed, ""},
    };
    for (const Attack& a : attacks) {
        SCOPED_TRACE(a.what);
        quorvane::test::FaultProxy proxy(peer_->Port());
        ASSERT_TRUE(proxy.Start());
        std::mutex mu;
        int tokens_sent = 0, tokens_read = 0;
        proxy.OnChunks(
            [&](std::vector<uint8_t>& chunk) {
                Response r;
                if (!PlainChunk::Read(chunk, &r)) return;
                if (auto* got = std::get_if<GetEndpointsResponse>(&r); got && a.endpoints) a.endpoints(got->endpoints);
                else if (auto* cs = std::get_if<CreateSessionResponse>(&r); cs && a.session) a.session(*cs);
                else return;
                PlainChunk::Write(chunk, r);
            },
            [&](std::vector<uint8_t>& chunk) {
                Request r;
                if (!PlainChunk::Read(chunk, &r)) return;
                const auto* as = std::get_if<ActivateSessionRequest>(&r);
                const auto token = as ? from_extension<UserNameIdentityToken>(as->user_identity_token) : std::nullopt;
                if (!token) return;
                crypto::Bytes plain;
                const bool read = attacker.decrypt(crypto::view(token->password.value_or("")), plain);
                std::lock_guard lock(mu);
                ++tokens_sent;
                tokens_read += read ? 1 : 0;
            });
        std::ofstream(config / "ostrand/servers.conf")
            << proxy.Url() << (*a.mode ? std::string(" mode=") + a.mode : std::string())
            << " user=operator password-file=" << (dir_->path / "good.pw").string() << "\n";

        std::string message;
        const auto settings = settings_for(proxy.Url(), UaSettings{}, &message);
        if (a.want == status::Good) {
            EXPECT_FALSE(settings) << "refused before any session";
            EXPECT_NE(message.find(a.says), std::string::npos) << message;
        } else {
            ASSERT_TRUE(settings) << message;
            UaLoop::ConnectionId id = 0;
            auto opened = loop_.open(proxy.Url(), *settings, &id);
            ASSERT_TRUE(opened->wait_for(kWait));
            EXPECT_EQ(opened->status(), a.want);
            loop_.close(id)->wait_for(kWait);
        }
        proxy.Stop(); // the hooks run on its thread: done with them
        EXPECT_EQ(tokens_read, 0) << "the attacker read the password";
        EXPECT_EQ(tokens_sent, 0) << "a password left for a server that failed the checks";
    }
}

} // namespace
