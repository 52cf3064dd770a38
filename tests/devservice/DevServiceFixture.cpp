#include "DevServiceFixture.h"

#include <curl/curl.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "service/LInternet.h"
#include "service/UHTTP.h"
#include "service/UTessivarServer.h"

namespace {

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

THTTPResult Transfer(const std::string& url, const std::string* body, const std::string& contentType) {
    THTTPResult result;
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.Body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (body != nullptr) {
        headers = curl_slist_append(headers, ("Content-Type: " + contentType).c_str());
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.Status);
    else
        result.Body = curl_easy_strerror(code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
}

} // namespace

void DevServiceTest::SetUp() {
    std::random_device random;
    m_Folder = std::filesystem::temp_directory_path() / ("tessivar-devservice-" + std::to_string(random()));
    std::filesystem::create_directories(m_Folder);
    TServiceConfig config;
    config.Port = 0;
    config.DatabaseFile = (m_Folder / "service.db").string();
    config.OutboxFolder = (m_Folder / "outbox").string();
    config.Clock = [clock = m_Now] { return clock->load(); };
    m_Service = std::make_unique<TDevService>(config);
    m_Port = m_Service->Bind();
    m_Runner = std::thread([this] { m_Service->Run(); });
}

void DevServiceTest::TearDown() {
    m_Service->Stop();
    m_Runner.join();
    m_Service.reset();
    std::filesystem::remove_all(m_Folder);
}

std::unique_ptr<TXMLNode> DevServiceTest::Call(const std::string& action, const std::string& argumentXML) {
    auto argumentRoot = TXMLNode::ParseString("<" + action + "><" + action + "Argument>" + argumentXML + "</" + action +
                                              "Argument></" + action + ">");
    TInternetSession session;
    THTTPConnection connection(session);
    auto answer = SOAPCall(connection, "127.0.0.1:" + std::to_string(m_Port), "Client.asmx", *argumentRoot,
                           ServiceNamespace, action);
    return answer;
}

TXMLNode& DevServiceTest::Result(const std::string& action, const std::string& argumentXML) {
    m_Answers.push_back(Call(action, argumentXML));
    TXMLNode& answer = *m_Answers.back();
    TXMLNode* result = answer.Children().Find(action + "Result");
    return result ? *result : answer;
}

THTTPResult HTTPGet(const std::string& url) {
    return Transfer(url, nullptr, {});
}

THTTPResult HTTPPost(const std::string& url, const std::string& body, const std::string& contentType) {
    return Transfer(url, &body, contentType);
}

THTTPResult DevServiceTest::Get(const std::string& url) {
    return HTTPGet(url);
}

THTTPResult DevServiceTest::Post(const std::string& url, const std::string& body, const std::string& contentType) {
    return HTTPPost(url, body, contentType);
}

std::vector<std::string> DevServiceTest::OutboxMails() const {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(m_Folder / "outbox"))
        for (const auto& entry : std::filesystem::directory_iterator(m_Folder / "outbox"))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> mails;
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::ostringstream text;
        text << stream.rdbuf();
        mails.push_back(file.extension() == ".eml" ? text.str() : "not a mail: " + file.filename().string());
    }
    return mails;
}

bool DevServiceTest::ConfirmAddress() {
    if (!std::filesystem::exists(m_Folder / "outbox"))
        return false;
    // The newest link first: names sort by the time of writing.
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(m_Folder / "outbox"))
        files.push_back(entry.path());
    std::sort(files.rbegin(), files.rend());
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::ostringstream text;
        text << stream.rdbuf();
        const std::string mail = text.str();
        const size_t at = mail.find("/confirm.aspx?token=");
        if (at == std::string::npos)
            continue;
        const std::string token = mail.substr(at + 20, 64);
        stream.close();
        std::filesystem::remove(file);
        return Post(BaseURL() + "/confirm.aspx", "token=" + token, "application/x-www-form-urlencoded").Status == 200;
    }
    return false;
}

std::string ChildText(const TXMLNode& node, const std::string& name) {
    const TXMLNode* child = node.Children().Find(name);
    return child ? child->Text() : "(missing)";
}

int ErrorCount(const TXMLNode& result) {
    const TXMLNode* errors = result.Children().Find("ErrorMessages");
    return errors ? errors->Children().Count() : 0;
}

std::string ErrorCode(const TXMLNode& result) {
    const TXMLNode* errors = result.Children().Find("ErrorMessages");
    return errors && errors->Children().Count() > 0 ? ChildText(errors->Children().Items(0), "Code") : std::string();
}

std::string MailHeader(const std::string& mail, const std::string& name) {
    const std::string prefix = name + ": ";
    size_t start = 0;
    while (start < mail.size()) {
        const size_t end = mail.find("\r\n", start);
        const std::string line = mail.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.empty())
            break;
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return {};
}
