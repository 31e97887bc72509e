#pragma once
// Debian's chromium, headless, driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe: commands on its descriptor 3, answers on 4, each
// a JSON text ended by NUL). Test-only.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

namespace testing_support {

inline std::string ChromiumPath()
{
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(p, X_OK) == 0) return p;
    return {};
}

class HeadlessChromium {
public:
    // profileDir: an empty scratch directory.
    HeadlessChromium(const std::string& profileDir, int width, int height)
    {
        int toBrowser[2], fromBrowser[2];
        if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) return;
        const std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
        const std::string profile = "--user-data-dir=" + profileDir;
        std::vector<std::string> args{ChromiumPath(),
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--disable-extensions",
                                      "--hide-scrollbars",
                                      "--remote-debugging-pipe",
                                      size,
                                      profile,
                                      "about:blank"};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toBrowser[0], 3);
            ::dup2(fromBrowser[1], 4);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(toBrowser[0]);
        ::close(fromBrowser[1]);
        out_ = toBrowser[1];
        in_ = fromBrowser[0];
    }
    ~HeadlessChromium()
    {
        if (out_ >= 0) {
            Json::Value none;
            Call("Browser.close", Json::Value(Json::objectValue), none, std::chrono::seconds(5));
            ::close(out_);
        }
        if (in_ >= 0) ::close(in_);
        if (pid_ > 0) {
            int status = 0;
            // Browser.close normally ends it; never wait for ever.
            for (int k = 0; k < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++k) ::usleep(50000);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
    }
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Opens a page at url and attaches to it; the page's commands follow.
    bool Open(const std::string& url, std::string& error)
    {
        Json::Value params(Json::objectValue), result;
        params["url"] = url;
        if (!Call("Target.createTarget", params, result, std::chrono::seconds(30))) {
            error = "createTarget: " + lastError_;
            return false;
        }
        Json::Value attach(Json::objectValue);
        attach["targetId"] = result["targetId"];
        attach["flatten"] = true;
        if (!Call("Target.attachToTarget", attach, result, std::chrono::seconds(30))) {
            error = "attachToTarget: " + lastError_;
            return false;
        }
        session_ = result["sessionId"].asString();
        return true;
    }

    // Evaluates an expression in the page; the value, or null on an exception.
    Json::Value Evaluate(const std::string& expression)
    {
        Json::Value params(Json::objectValue), result;
        params["expression"] = expression;
        params["returnByValue"] = true;
        params["awaitPromise"] = true;
        if (!Call("Runtime.evaluate", params, result, std::chrono::seconds(30)) || result.isMember("exceptionDetails"))
            return Json::Value();
        return result["result"]["value"];
    }

    // Evaluates until the expression is true or the limit passes.
    bool WaitUntil(const std::string& expression, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Evaluate(expression).asBool()) return true;
            ::usleep(200000);
        }
        return false;
    }

    // Lays the page out as on a screen of that size (a window may not get
    // narrower than the browser's minimum; a phone's width needs this).
    bool SetViewport(int width, int height)
    {
        Json::Value params(Json::objectValue), result;
        params["width"] = width;
        params["height"] = height;
        params["deviceScaleFactor"] = 1;
        params["mobile"] = width < 600;
        return Call("Emulation.setDeviceMetricsOverride", params, result, std::chrono::seconds(30));
    }

    // A PNG of the page as it stands.
    bool Screenshot(std::string& png)
    {
        Json::Value params(Json::objectValue), result;
        params["format"] = "png";
        params["captureBeyondViewport"] = true;
        if (!Call("Page.captureScreenshot", params, result, std::chrono::seconds(30))) return false;
        return Base64(result["data"].asString(), png);
    }

    bool Started() const { return pid_ > 0 && out_ >= 0; }
    const std::string& LastError() const { return lastError_; }

private:
    bool Call(const std::string& method, const Json::Value& params, Json::Value& result, std::chrono::seconds limit)
    {
        Json::Value message(Json::objectValue);
        const int id = ++nextId_;
        message["id"] = id;
        message["method"] = method;
        message["params"] = params;
        if (!session_.empty() && method.rfind("Target.", 0) != 0 && method.rfind("Browser.", 0) != 0)
            message["sessionId"] = session_;
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        std::string text = Json::writeString(writer, message);
        text.push_back('\0');
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(out_, text.data() + done, text.size() - done);
            if (n <= 0) {
                lastError_ = "the browser went away";
                return false;
            }
            done += static_cast<size_t>(n);
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            Json::Value reply;
            if (!Next(reply, deadline)) {
                lastError_ = "no answer to " + method;
                return false;
            }
            if (!reply.isMember("id") || reply["id"].asInt() != id) continue;  // an event
            if (reply.isMember("error")) {
                lastError_ = reply["error"]["message"].asString();
                return false;
            }
            result = reply["result"];
            return true;
        }
    }

    bool Next(Json::Value& reply, std::chrono::steady_clock::time_point deadline)
    {
        for (;;) {
            const size_t end = buffer_.find('\0');
            if (end != std::string::npos) {
                const std::string text = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                Json::CharReaderBuilder builder;
                std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
                std::string errors;
                if (reader->parse(text.data(), text.data() + text.size(), &reply, &errors)) return true;
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{in_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[65536];
            const ssize_t n = ::read(in_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    static bool Base64(const std::string& in, std::string& out)
    {
        out.clear();
        unsigned value = 0;
        int bits = 0;
        for (char c : in) {
            int d;
            if (c >= 'A' && c <= 'Z')
                d = c - 'A';
            else if (c >= 'a' && c <= 'z')
                d = c - 'a' + 26;
            else if (c >= '0' && c <= '9')
                d = c - '0' + 52;
            else if (c == '+')
                d = 62;
            else if (c == '/')
                d = 63;
            else if (c == '=')
                break;
            else
                return false;
            value = (value << 6) | static_cast<unsigned>(d);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out.push_back(static_cast<char>((value >> bits) & 0xFF));
            }
        }
        return !out.empty();
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    int nextId_ = 0;
    std::string session_;
    std::string buffer_;
    std::string lastError_;
};

}  // namespace testing_support
