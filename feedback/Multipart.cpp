#include "feedback/Multipart.h"

#include "feedback/FeedbackForm.h"

#include <array>
#include <random>

namespace KestruneCore {

namespace {

bool occursIn(const std::vector<FormField>& fields, const std::optional<FilePart>& file,
              const std::string& boundary) {
    for (const auto& [name, value] : fields)
        if (name.find(boundary) != std::string::npos || value.find(boundary) != std::string::npos)
            return true;
    return file && (file->data.find(boundary) != std::string::npos ||
                    file->name.find(boundary) != std::string::npos ||
                    file->filename.find(boundary) != std::string::npos);
}

} // namespace

std::string newBoundary() {
    static thread_local std::random_device device;
    std::array<unsigned char, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        unsigned v = device();
        for (std::size_t k = 0; k < 4; ++k)
            bytes[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    static const char* hex = "0123456789ABCDEF";
    std::string out = "KestruneBoundary";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    return out;
}

std::string multipartBody(const std::vector<FormField>& fields, const std::optional<FilePart>& file,
                          const std::string& boundary) {
    std::string body;
    for (const auto& [name, value] : fields) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + name + "\"\r\n";
        body += "\r\n";
        body += value + "\r\n";
    }
    if (file) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + file->name + "\"; filename=\"" +
                file->filename + "\"\r\n";
        body += "Content-Type: " + file->type + "\r\n";
        body += "\r\n";
        body += file->data + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

UrlRequest multipartRequest(const std::vector<FormField>& fields,
                            const std::optional<FilePart>& file) {
    // A text that holds the boundary would end its part early; draw again.
    std::string boundary = newBoundary();
    while (occursIn(fields, file, boundary))
        boundary = newBoundary();
    UrlRequest request;
    request.url = feedbackFormURL();
    request.method = "POST";
    request.timeout = std::chrono::seconds(30);
    request.headers = {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                       {"Accept", "application/json"}};
    request.body = multipartBody(fields, file, boundary);
    return request;
}

} // namespace KestruneCore
