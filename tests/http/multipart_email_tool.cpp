// Writes a multipart request for multipart_email_reader.py: "Content-Type" and "Content-Length"
// lines, a blank line, then the body the request's stream produces.
//   lv_multipart_email_tool OUT UPLOAD_FILE
#include <cstdio>
#include <fstream>
#include <string>

#include "http/request_serializer.h"

int main(int argc, char** argv) {
    using namespace lv;
    if (argc != 3) return 2;
    Bytes binary;
    for (int i = 0; i < 256; ++i) binary.push_back(static_cast<std::uint8_t>(i));
    auto request = HCHTTPRequestSerializer::serializer()->multipartFormRequestWithMethod(
        "POST", "http://127.0.0.1/upload",
        Value::dictionary({{"title", "韩流 news"}, {"empty", Value::null()}, {"list", Value::array({1, 2})}}),
        [&](HCMultipartFormData& form) {
            form.appendPartWithFileData(binary, "blob", "all bytes.bin", "application/octet-stream");
            form.appendPartWithFileURL(URL::fileURLWithPath(argv[2]), "upload", nullptr);
            form.appendPartWithFormData(Bytes{'q'}, "say \"hi\"");
        });
    if (!request) return 1;
    auto stream = request->HTTPBodyStream();
    stream->open();
    std::string body;
    std::uint8_t buffer[777];
    for (long n; (n = stream->read(buffer, sizeof buffer)) > 0;) body.append(reinterpret_cast<char*>(buffer), n);
    std::ofstream out(argv[1], std::ios::binary);
    out << "Content-Type: " << request->valueForHTTPHeaderField("Content-Type").value_or("") << "\r\n"
        << "Content-Length: " << request->valueForHTTPHeaderField("Content-Length").value_or("") << "\r\n\r\n"
        << body;
    return out ? 0 : 1;
}
