// The two ways mail leaves the service: SMTP to a relay through libcurl, or .eml files in a folder.

#include <curl/curl.h>
#include <sodium.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "devservice/UServiceMail.h"

namespace {

// A new file with mode 0600 holding the text; false with errno set when that fails.
bool WriteNewFile(const std::filesystem::path& path, std::string_view text) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return false;
    while (!text.empty()) {
        const ssize_t written = write(file, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            close(file);
            errno = error;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return close(file) == 0;
}

class TOutboxTransport : public TMailTransport {
public:
    explicit TOutboxTransport(std::string folder) : m_Folder(std::move(folder)) {}

    // Written under a temporary name and renamed, so that a reader of the folder never sees half a
    // message; names sort by time of writing. The folder and the files are the owner's alone: the
    // messages hold live links.
    void Send(const TOutgoingMail& mail) override {
        std::error_code error;
        if (std::filesystem::create_directories(m_Folder, error))
            std::filesystem::permissions(m_Folder, std::filesystem::perms::owner_all, error);
        if (error)
            throw MailTransportException("Cannot create the outbox \"" + m_Folder.string() + "\": " + error.message());
        const auto now =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        unsigned char random[6];
        randombytes_buf(random, sizeof random);
        char suffix[sizeof random * 2 + 1];
        sodium_bin2hex(suffix, sizeof suffix, random, sizeof random);
        const std::string name = std::to_string(now) + "-" + suffix;
        const std::filesystem::path temporary = m_Folder / ("." + name + ".tmp");
        const std::filesystem::path final = m_Folder / (name + ".eml");
        if (!WriteNewFile(temporary, mail.Text)) {
            const std::string reason = std::strerror(errno);
            unlink(temporary.c_str());
            throw MailTransportException("Cannot write \"" + temporary.string() + "\": " + reason);
        }
        if (rename(temporary.c_str(), final.c_str()) != 0) {
            const std::string reason = std::strerror(errno);
            unlink(temporary.c_str());
            throw MailTransportException("Cannot store \"" + final.string() + "\": " + reason);
        }
    }

private:
    const std::filesystem::path m_Folder;
};

struct TCurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct TUpload {
    std::string_view Rest;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* data) {
    auto* upload = static_cast<TUpload*>(data);
    const size_t length = std::min(size * count, upload->Rest.size());
    std::memcpy(buffer, upload->Rest.data(), length);
    upload->Rest.remove_prefix(length);
    return length;
}

class TSMTPTransport : public TMailTransport {
public:
    explicit TSMTPTransport(std::string relayURL) : m_RelayURL(std::move(relayURL)) {}

    void Send(const TOutgoingMail& mail) override {
        std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
        if (!curl)
            throw MailTransportException("Cannot start an SMTP session.");
        const std::string from = "<" + mail.EnvelopeFrom + ">";
        std::unique_ptr<curl_slist, TCurlDeleter> recipients(
            curl_slist_append(nullptr, ("<" + mail.EnvelopeTo + ">").c_str()));
        if (!recipients)
            throw MailTransportException("Cannot start an SMTP session.");
        TUpload upload{mail.Text};
        CURL* handle = curl.get();
        curl_easy_setopt(handle, CURLOPT_URL, m_RelayURL.c_str());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        curl_easy_setopt(handle, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
        curl_easy_setopt(handle, CURLOPT_MAIL_FROM, from.c_str());
        curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients.get());
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, ReadUpload);
        curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(mail.Text.size()));
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, 120L);
        const CURLcode result = curl_easy_perform(handle);
        if (result != CURLE_OK)
            throw MailTransportException("The relay refused the message: " + std::string(curl_easy_strerror(result)));
    }

private:
    const std::string m_RelayURL;
};

} // namespace

std::unique_ptr<TMailTransport> NewOutboxTransport(std::string folder) {
    return std::make_unique<TOutboxTransport>(std::move(folder));
}

std::unique_ptr<TMailTransport> NewSMTPTransport(std::string relayURL) {
    return std::make_unique<TSMTPTransport>(std::move(relayURL));
}
