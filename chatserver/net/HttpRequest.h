#pragma once
// Reads one HTTP request from the bytes of a connection, as they arrive. Built to accept what
// the client sends: "GET //page", "Host: name:80" and raw single-byte characters in the query.
#include <QByteArray>
#include <memory>

namespace chatserver {

class HttpRequestReader {
public:
    enum class Status { Incomplete, Complete, Malformed };

    explicit HttpRequestReader(std::size_t maxHeaderBytes = 8192);
    ~HttpRequestReader();
    HttpRequestReader(const HttpRequestReader&) = delete;
    HttpRequestReader& operator=(const HttpRequestReader&) = delete;

    // Feeds the next bytes; once Complete or Malformed, further bytes are ignored.
    Status feed(const QByteArray& bytes);
    Status status() const { return m_status; }

    // Complete only.
    QByteArray method() const;
    QByteArray target() const;
    QByteArray host() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    Status m_status = Status::Incomplete;
};

// The page a target names: the text after the leading slashes up to "?", e.g. "InfoDT.asp".
QByteArray targetPage(const QByteArray& target);
// The query text after "?" (empty when there is none).
QByteArray targetQuery(const QByteArray& target);
// Decodes %XX escapes; a "%" not followed by two hex digits stays as it is.
QByteArray percentDecoded(const QByteArray& text);

} // namespace chatserver
