// Whole requests as a visitor sends them, answered by the GET, HEAD and POST paths on a small
// shared tree of our own: default documents, a framed page, a blog post, a protected folder, a
// hidden folder, a picture and a link that leads out of the tree. Every request that the reader
// takes gets exactly one status line, the protected bytes go out only with 200 and the password
// list never.
// The visitor is never local, so the desktop pages refuse it; DISPLAY is unset all the same.
#include "config/settings_section.h"
#include "fuzz/fuzz_check.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "http/request_reader.h"
#include "pages/page_stages.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

namespace fs = std::filesystem;

constexpr std::string_view kPost = "first comment\nsecond comment\n";
constexpr std::string_view kSecret = "the protected bytes";
constexpr std::string_view kPasswordLine = "user,secret";

void Write(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Tree {
    fs::path base;
    fs::path root;
    std::unique_ptr<tvn::CHttpSvrDoc> doc;
    tvn::CPageStages stages;
    unsigned runs = 0;
};

Tree& Scratch() {
    static Tree* tree = [] {
        char folder[] = "/dev/shm/tvn-fuzz-request-XXXXXX";
        Check(::mkdtemp(folder) != nullptr);
        auto* t = new Tree;
        t->base = folder;
        t->root = t->base / "Share";
        const fs::path& r = t->root;
        Write(r / "index.html", "<html><body>home</body></html>");
        Write(r / ".file", "<html><body><!--file-->[<!--content-->]<!--/file--></body></html>");
        Write(r / "Pages/page.htm", "<p>a page</p>");
        Write(r / "Pages/notes.txt", "plain notes");
        Write(r / "Blog/post.htm", kPost);
        Write(r / "Private/.pass", std::string(kPasswordLine) + "\n");
        Write(r / "Private/data.txt", kSecret);
        Write(r / ".hidden/x.txt", "hidden");
        Write(r / "Photos/dot.gif",
              std::string_view("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00,\x00"
                               "\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
                               35));
        Write(t->base / "outside.txt", "outside");
        fs::create_symlink("../outside.txt", r / "Pages/out.txt");
        Write(t->base / "TVN.cfg", "[SOFTWARE\\Tarvolin\\1.0]\nLogFileName=" +
                                       (t->base / "tvn.log").string() + "\nBlogSound=\n");
        tvn::SettingsSection::OverrideFilePath((t->base / "TVN.cfg").string());
        t->doc = std::make_unique<tvn::CHttpSvrDoc>(8080, r.string());
        t->doc->SetContentStages(&t->stages);
        t->stages.Settings().Load();
        std::atexit([] { fs::remove_all(Scratch().base); });
        return t;
    }();
    return *tree;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ::unsetenv("DISPLAY");
    static QCoreApplication app(*argc, *argv);
    Scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Tree& tree = Scratch();
    // Comments and the access log grow with every run: start them again now and then.
    if (++tree.runs % 4096 == 0) {
        Write(tree.root / "Blog/post.htm", kPost);
        fs::remove(tree.base / "tvn.log");
    }
    // The first byte sets the size of the pieces the connection delivers (1 to 256 bytes).
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    tvn::CRequestContext context(*tree.doc, "192.0.2.7:4000");
    tvn::CRequestReader reader;
    auto outcome = tvn::CRequestReader::Outcome::NeedMore;
    for (std::size_t at = 0; at < bytes.size() && outcome == tvn::CRequestReader::Outcome::NeedMore;
         at += piece)
        outcome = reader.Feed(bytes.substr(at, piece), context.request);
    if (outcome != tvn::CRequestReader::Outcome::Complete)
        return 0;

    context.RunRequest();
    Check(!context.Parked());
    const std::string_view answer = context.OutputView();
    Check(answer.starts_with("HTTP/1.0 "));
    Check(answer.find("HTTP/1.0 ", 1) == std::string_view::npos ||
          answer.find("\r\n\r\n") < answer.find("HTTP/1.0 ", 1));
    Check(context.answer.Started());
    if (answer.find(kSecret) != std::string_view::npos)
        Check(answer.starts_with("HTTP/1.0 200"));
    // The password list itself never goes out: its folder's listing and the file are refused.
    const auto bodyAt = answer.find("\r\n\r\n");
    if (bodyAt != std::string_view::npos)
        Check(answer.substr(bodyAt).find(kPasswordLine) == std::string_view::npos);
    return 0;
}
