#pragma once
// A transport of the tests' own: an engine that answers from a script, a response that
// serves status, headers and a raw body from memory, and a body stream that logs every
// DoRead call.

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Nimbra.Http.Engine.h"

namespace EngineTest {

/// What the scripted response serves, and what it saw happen.
struct TScript {
    std::int32_t Status = 200;
    std::string Reason = "OK";
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string ContentType;
    std::string ContentEncoding;
    std::int64_t ContentLength = -1;
    Runtime::TBytes Body;
    /// Most bytes one DoRead hands out (0: as many as asked).
    std::int64_t MaxPerDoRead = 0;
    /// Most bytes the stream lets one DoRead be asked for (0: the base class's default).
    std::int64_t MaxPiece = 0;
    /// The headers come as one block of text (LoadHeaderText), as a transport that has them
    /// so hands them over, instead of through LoadHeaders.
    bool HeadersAsText = false;
    /// CreateContentStream returns null instead of a stream.
    bool NoStream = false;
    /// Called from CreateContentStream, to act as a transport that looks at its response.
    std::function<void(Nimbra::THttpResponse&)> OnCreateContentStream;
    /// Called while the headers load (from LoadHeaders or LoadHeaderText), before they are
    /// there, to act as a transport that looks at its response then.
    std::function<void(Nimbra::THttpResponse&)> OnLoadHeaders;
    /// Called from GetContentEncoding, e.g. to make it fail.
    std::function<void()> OnContentEncoding;

    // What happened.
    int LoadHeadersCalls = 0;  // LoadHeaders or LoadHeaderText
    int CreateStreamCalls = 0;
    int StreamsFreed = 0;
    int ResponsesFreed = 0;
    std::vector<std::int64_t> DoReadAsked;
    std::int64_t Delivered = 0;

    /// A body with its length stated both ways a transport states it.
    void SetKnownLength(Runtime::TBytes ABody) {
        ContentLength = static_cast<std::int64_t>(ABody.size());
        Headers.emplace_back("Content-Length", std::to_string(ContentLength));
        Body = std::move(ABody);
    }
};

class TScriptedStream : public Nimbra::THttpResponseStream {
  public:
    explicit TScriptedStream(TScript& AScript) : FScript(AScript) {}
    ~TScriptedStream() override { ++FScript.StreamsFreed; }

  protected:
    std::int64_t MaxPieceSize() const noexcept override {
        return FScript.MaxPiece > 0 ? FScript.MaxPiece : THttpResponseStream::MaxPieceSize();
    }
    std::int64_t DoRead(void* Buffer, std::int64_t Count) override {
        FScript.DoReadAsked.push_back(Count);
        std::int64_t N = std::min(Count, static_cast<std::int64_t>(FScript.Body.size()) - FPos);
        if (FScript.MaxPerDoRead > 0) N = std::min(N, FScript.MaxPerDoRead);
        if (N <= 0) return 0;
        std::memcpy(Buffer, FScript.Body.data() + FPos, static_cast<std::size_t>(N));
        FPos += N;
        FScript.Delivered += N;
        return N;
    }

  private:
    TScript& FScript;
    std::int64_t FPos = 0;
};

/// Serves a script the test keeps (and may look at after the response is gone).
class TScriptedResponse : public Nimbra::THttpResponse {
  public:
    explicit TScriptedResponse(TScript& AScript) : FScript(AScript) {}
    ~TScriptedResponse() override { ++FScript.ResponsesFreed; }

    std::int64_t GetContentLength() override { return FScript.ContentLength; }
    std::string GetContentType() override { return FScript.ContentType; }
    std::string GetContentEncoding() override {
        if (FScript.OnContentEncoding) FScript.OnContentEncoding();
        return FScript.ContentEncoding;
    }
    std::int32_t GetStatusCode() override { return FScript.Status; }
    std::string GetStatusReason() override { return FScript.Reason; }

  protected:
    std::unique_ptr<Runtime::TStream> CreateContentStream() override {
        ++FScript.CreateStreamCalls;
        if (FScript.OnCreateContentStream) FScript.OnCreateContentStream(*this);
        if (FScript.NoStream) return nullptr;
        return std::make_unique<TScriptedStream>(FScript);
    }
    void LoadHeaders(Nimbra::THttpHeaders& Headers) override {
        ++FScript.LoadHeadersCalls;
        if (FScript.OnLoadHeaders) FScript.OnLoadHeaders(*this);
        for (const auto& [Name, Value] : FScript.Headers) Headers.AddValue(Name, Value);
    }
    bool LoadHeaderText(std::string& Text) override {
        if (!FScript.HeadersAsText) return false;
        ++FScript.LoadHeadersCalls;
        if (FScript.OnLoadHeaders) FScript.OnLoadHeaders(*this);
        Text = "HTTP/1.1 200 OK\r\n";
        for (const auto& [Name, Value] : FScript.Headers) Text += Name + ": " + Value + "\r\n";
        Text += "\r\n";
        return true;
    }

  private:
    TScript& FScript;
};

/// Hands out plain requests and answers Send with a response over its script, or with what
/// OnSend does instead.
class TScriptedEngine : public Nimbra::THttpEngine {
  public:
    TScript Script;
    int SendCalls = 0;
    std::function<void(Nimbra::THttpRequest&)> OnSend;

  protected:
    std::unique_ptr<Nimbra::THttpRequest> DoCreateRequest() override {
        return std::make_unique<Nimbra::THttpRequest>();
    }
    std::unique_ptr<Nimbra::THttpResponse> DoSend(Nimbra::THttpRequest& Request) override {
        ++SendCalls;
        if (OnSend) OnSend(Request);
        return std::make_unique<TScriptedResponse>(Script);
    }
};

}  // namespace EngineTest
