#include "Ostrel.Cli.Report.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace Ostrel::Cli {

namespace {

std::string Ms(double V) {
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%.1f", V);
    return Buf;
}

std::string Name(const TProbe& P) {
    return StackName(P.Stack);
}

// Length of the well-formed UTF-8 sequence at S[I], 0 when it is not one.
std::size_t Utf8Length(const std::string& S, std::size_t I) {
    const unsigned char C = static_cast<unsigned char>(S[I]);
    std::size_t N = C < 0x80 ? 1 : (C >> 5) == 6 ? 2 : (C >> 4) == 14 ? 3 : (C >> 3) == 30 ? 4 : 0;
    if (N == 0 || I + N > S.size()) return 0;
    std::uint32_t Code = N == 1 ? C : C & (0x7F >> N);
    for (std::size_t K = 1; K < N; ++K) {
        const unsigned char D = static_cast<unsigned char>(S[I + K]);
        if ((D & 0xC0) != 0x80) return 0;
        Code = (Code << 6) | (D & 0x3F);
    }
    static const std::uint32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (Code < Least[N] || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) return 0;
    return N;
}

// U+0080-U+009F, written in UTF-8 as C2 80 to C2 9F.
bool IsUtf8C1(const std::string& S, std::size_t I, std::size_t Length) {
    return Length == 2 && static_cast<unsigned char>(S[I]) == 0xC2 &&
           static_cast<unsigned char>(S[I + 1]) <= 0x9F;
}

}  // namespace

std::string Printable(const std::string& S) {
    std::string Out;
    Out.reserve(S.size());
    for (std::size_t I = 0; I < S.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(S[I]);
        if (C == '\r' && I + 1 < S.size() && S[I + 1] == '\n') continue;
        if (C == '\n' || C == '\r') {
            Out += " / ";
        } else if (C < 0x80) {
            Out += C < 0x20 || C == 0x7F ? '?' : static_cast<char>(C);
        } else if (const std::size_t N = Utf8Length(S, I); N > 0) {
            // Terminals honour the C1 controls as they do ESC [ and ESC ], whether they come
            // as characters or as single bytes.
            if (IsUtf8C1(S, I, N))
                Out += '?';
            else
                Out.append(S, I, N);
            I += N - 1;
        } else {
            Out += C <= 0x9F ? '?' : static_cast<char>(C);
        }
    }
    return Out;
}

namespace {

bool IsRedirect(int Status) {
    return Status >= 300 && Status < 400;
}

// "refused the certificate (untrusted issuer)", "timed out", "failed: <words>".
std::string FailurePhrase(const TProbe& P) {
    switch (P.Failure) {
        case TFailure::Tls:
            return P.Problem.empty() ? "failed the TLS handshake"
                                     : "refused the certificate (" + P.Problem + ")";
        case TFailure::Timeout:
            return "timed out";
        case TFailure::NoTransport:
            return "has no transport for this URL's scheme";
        default:
            return std::string("failed: ") + FailureWords(P.Failure);
    }
}

std::string AnswerPhrase(const TProbe& P) {
    return "answered " + std::to_string(P.Status);
}

}  // namespace

namespace {

TVerdict CompareOutcomes(const TProbe& A, const TProbe& B) {
    TVerdict V;
    V.Compared = true;
    if (A.Answered && B.Answered) {
        if (A.Status == B.Status) {
            V.Text = "both answered " + std::to_string(A.Status);
            return V;
        }
        V.Agree = false;
        // A redirect one stack followed and the other returned explains the difference.
        for (const auto* P : {&A, &B}) {
            const TProbe& Other = P == &A ? B : A;
            if (P->Redirects > 0 && IsRedirect(Other.Status)) {
                V.Text = Name(*P) + " followed the redirect to " + P->FollowedTo + " and " +
                         AnswerPhrase(*P) + "; " + Name(Other) + " returned the " +
                         std::to_string(Other.Status) + " itself" +
                         (Other.Location.empty() ? "" : " (Location: " + Other.Location + ")");
                return V;
            }
        }
        V.Text = "different statuses: " + Name(A) + " " + std::to_string(A.Status) + ", " +
                 Name(B) + " " + std::to_string(B.Status);
        return V;
    }
    if (A.Answered != B.Answered) {
        V.Agree = false;
        const TProbe& Failed = A.Answered ? B : A;
        const TProbe& Answered = A.Answered ? A : B;
        V.Text = Name(Failed) + " " + FailurePhrase(Failed) + "; " + Name(Answered) + " " +
                 AnswerPhrase(Answered);
        return V;
    }
    if (A.Failure == B.Failure) {
        V.Text = "both failed (" + std::string(FailureName(A.Failure)) + ")";
        if (A.Failure == TFailure::Tls && A.Problem == B.Problem && !A.Problem.empty())
            V.Text = "both refused the certificate (" + A.Problem + ")";
        else if (A.Failure == TFailure::Tls)  // each found something else wrong with it
            V.Text = "both refused the certificate (" + Name(A) + ": " + A.Problem + "; " +
                     Name(B) + ": " + B.Problem + ")";
        return V;
    }
    V.Agree = false;
    V.Text = Name(A) + " " + FailurePhrase(A) + "; " + Name(B) + " " + FailurePhrase(B);
    return V;
}

}  // namespace

TVerdict Compare(const TProbe& A, const TProbe& B) {
    TVerdict V = CompareOutcomes(A, B);
    // HTTP/2 is another framing of the same exchange: the same status over both is agreement,
    // worth a note since the stacks did not speak alike.
    if (A.Answered && B.Answered && !A.Protocol.empty() && !B.Protocol.empty() &&
        A.Protocol != B.Protocol) {
        const std::string Which =
            Name(A) + " over " + A.Protocol + ", " + Name(B) + " over " + B.Protocol;
        V.Note = A.Status == B.Status ? "same answer over different protocols: " + Which
                                      : "the stacks also spoke different protocols: " + Which;
    }
    return V;
}

TUrlReport MakeReport(const std::string& Url, std::vector<TProbe> Probes) {
    TUrlReport R;
    R.Url = Url;
    R.Probes = std::move(Probes);
    if (R.Probes.size() == 2) {
        R.Verdict = Compare(R.Probes[0], R.Probes[1]);
    } else if (R.Probes.size() == 1) {
        R.Verdict.Text = std::string("only ") + StackName(R.Probes[0].Stack) + " was asked";
    }
    bool Failed = false, Not200 = false;
    for (const TProbe& P : R.Probes) {
        Failed = Failed || !P.Answered;
        Not200 = Not200 || (P.Answered && P.Status != 200);
    }
    R.ExitCode = !R.Verdict.Agree ? ExitDisagree
                 : Failed         ? ExitNoAnswer
                 : Not200         ? ExitNot200
                                  : ExitAll200;
    return R;
}

int RunExitCode(const std::vector<TUrlReport>& Reports) {
    int Code = ExitAll200;
    for (const auto& R : Reports) Code = std::max(Code, R.ExitCode);
    return Code;
}

std::string Waterfall(const TProbe& P, double ScaleMs, int Width) {
    static const char Marks[MilestoneCount] = {'d', 'c', 't', 's', 'w', 'r'};
    struct TSegment {
        double EndMs;
        char Mark;
    };
    std::vector<TSegment> Segments;
    double Reached = 0;
    bool Untold = false;  // a milestone before this one could not be told
    for (int M = 0; M < MilestoneCount; ++M) {
        const TMoment& T = P.Moments[M];
        if (T.Kind == TMoment::Untold) Untold = true;
        if (T.Kind != TMoment::Reached) continue;
        Segments.push_back({T.Ms, Untold ? '?' : Marks[M]});
        Reached = std::max(Reached, T.Ms);
        Untold = false;
    }
    // What remains of the call: the way to a failure, or time the stack did not account for.
    if (P.WallMs > Reached) Segments.push_back({P.WallMs, P.Answered ? '?' : 'x'});
    if (P.Answered && Segments.size() > 1 && Segments.back().Mark == '?' && !Untold &&
        P.Moments[End].Kind == TMoment::Reached)
        Segments.pop_back();  // the few microseconds after the end belong to the tool

    if (ScaleMs <= 0) ScaleMs = std::max(P.WallMs, 0.001);
    std::string Line(static_cast<std::size_t>(Width), ' ');
    // Every phase that took any time gets at least one column, in order, and a long one
    // leaves a column for each phase after it.
    int Cursor = 0;
    double Start = 0;
    const int Count = static_cast<int>(Segments.size());
    for (int I = 0; I < Count; ++I) {
        const TSegment& S = Segments[static_cast<std::size_t>(I)];
        if (Cursor >= Width) break;
        int To = static_cast<int>(std::lround(S.EndMs * Width / ScaleMs));
        if (S.EndMs > Start) To = std::max(To, Cursor + 1);
        To = std::min({To, Width, std::max(Cursor + 1, Width - (Count - 1 - I))});
        for (int C = Cursor; C < To; ++C) Line[static_cast<std::size_t>(C)] = S.Mark;
        Cursor = std::max(Cursor, To);
        Start = std::max(Start, S.EndMs);
    }
    return Line;
}

std::string FormatUrlText(const TUrlReport& R) {
    constexpr int Width = 60;
    static const char* const Labels[MilestoneCount] = {"name resolution", "connect",    "TLS",
                                                       "request sent",    "first byte", "end"};
    std::string Out;
    {
        Out += Printable(R.Url) + "\n";
        double Scale = 0;
        for (const TProbe& P : R.Probes) Scale = std::max(Scale, P.WallMs);
        for (const TProbe& P : R.Probes) {
            char Head[16];
            std::snprintf(Head, sizeof Head, "  %-8s", StackName(P.Stack));
            const std::string Indent(10, ' ');
            Out += Head;
            if (P.Answered) {
                Out +=
                    std::to_string(P.Status) + (P.Reason.empty() ? "" : " " + Printable(P.Reason));
            } else {
                Out += "failed: " + std::string(FailureName(P.Failure));
                if (!P.Problem.empty()) Out += " (" + Printable(P.Problem) + ")";
            }
            if (!P.Protocol.empty()) Out += "  " + P.Protocol;
            Out += "  " + Ms(P.WallMs) + " ms";
            if (P.Answered) {
                if (!P.Compressed)
                    Out += "  compression: cannot tell";
                else
                    Out += *P.Compressed ? "  compressed: " + Printable(P.Encoding)
                                         : "  not compressed";
            }
            Out += "\n";
            if (!P.Location.empty()) Out += Indent + "Location: " + Printable(P.Location) + "\n";
            if (P.Redirects > 0)
                Out += Indent + "followed " + std::to_string(P.Redirects) + " redirect" +
                       (P.Redirects > 1 ? "s" : "") + " to " + Printable(P.FollowedTo) + "\n";
            if (!P.Answered) {
                Out += Indent + Printable(P.Message) + "\n";  // the stack's own words
            }
            if (P.TimesFrom.empty()) {
                Out += Indent + "phases: not available (" + Printable(P.TimesNote) + ")\n";
            } else {
                std::string Line = Indent + "ms:";
                for (int M = 0; M < MilestoneCount; ++M) {
                    const TMoment& T = P.Moments[M];
                    Line += std::string(M ? ", " : " ") + Labels[M] + " ";
                    Line += T.Kind == TMoment::Reached  ? Ms(T.Ms)
                            : T.Kind == TMoment::Missed ? "-"
                            : T.Kind == TMoment::Failed ? "failed"
                                                        : "?";
                }
                Out += Line + "  (from " + Printable(P.TimesFrom) + ")\n";
            }
            Out += Indent + "|" + Waterfall(P, Scale, Width) + "|\n";
        }
        Out += "  verdict " +
               std::string(!R.Verdict.Compared ? ""
                           : R.Verdict.Agree   ? "agree: "
                                               : "disagree: ") +
               Printable(R.Verdict.Text) + "\n";
        if (!R.Verdict.Note.empty()) Out += "  note    " + Printable(R.Verdict.Note) + "\n";
        Out += "\n";
    }
    return Out;
}

std::string TextLegend() {
    return "ms: when each phase was complete, counted from the request; ? the stack cannot tell, "
           "- it did not happen,\n  failed: the exchange broke off in it\n"
           "waterfall (one scale per URL): d name resolution, c connect, t TLS handshake, "
           "s sending,\n  w waiting for the first byte, r receiving, ? phases the stack does not "
           "tell apart, x until the failure\n";
}

std::string FormatText(const std::vector<TUrlReport>& Reports) {
    std::string Out;
    for (const TUrlReport& R : Reports) Out += FormatUrlText(R);
    return Out + TextLegend();
}

namespace {

// A minimal JSON writer: keys in the order written, strings escaped per RFC 8259.
class TJson {
  public:
    std::string Text;

    void Str(const std::string& S) {
        Text += '"';
        for (std::size_t I = 0; I < S.size(); ++I) {
            const unsigned char C = static_cast<unsigned char>(S[I]);
            if (C >= 0x80) {
                // Bytes that are not UTF-8 (a URL typed in another encoding) would make the
                // document invalid: each becomes U+FFFD.
                const std::size_t N = Utf8Length(S, I);
                if (N == 0) {
                    Text += "\\ufffd";
                } else if (IsUtf8C1(S, I, N)) {
                    // Valid as it is, but escaped like the C0 controls, so a document read
                    // on a terminal cannot drive it.
                    char Buf[8];
                    std::snprintf(Buf, sizeof Buf, "\\u%04x", static_cast<unsigned char>(S[I + 1]));
                    Text += Buf;
                    ++I;
                } else {
                    Text.append(S, I, N);
                    I += N - 1;
                }
                continue;
            }
            switch (C) {
                case '"':
                    Text += "\\\"";
                    break;
                case '\\':
                    Text += "\\\\";
                    break;
                case '\n':
                    Text += "\\n";
                    break;
                case '\r':
                    Text += "\\r";
                    break;
                case '\t':
                    Text += "\\t";
                    break;
                default:
                    if (C < 0x20 || C == 0x7F) {
                        char Buf[8];
                        std::snprintf(Buf, sizeof Buf, "\\u%04x", C);
                        Text += Buf;
                    } else {
                        Text += static_cast<char>(C);
                    }
            }
        }
        Text += '"';
    }
    void Key(const char* K) {
        Comma();
        Str(K);
        Text += ':';
        FFresh = true;
    }
    void Open(char C) {
        Comma();
        Text += C;
        FFresh = true;
    }
    void Close(char C) {
        Text += C;
        FFresh = false;
    }
    void Value(const std::string& S) {
        Comma();
        Str(S);
    }
    void Value(const char* S) { Value(std::string(S)); }
    void Number(double D) {
        Comma();
        char Buf[32];
        std::snprintf(Buf, sizeof Buf, "%.3f", D);
        Text += Buf;
    }
    void Int(long long N) {
        Comma();
        Text += std::to_string(N);
    }
    void Bool(bool B) {
        Comma();
        Text += B ? "true" : "false";
    }
    void Null() {
        Comma();
        Text += "null";
    }
    void TextOrNull(const std::string& S) { S.empty() ? Null() : Value(S); }

  private:
    void Comma() {
        if (!FFresh) Text += ',';
        FFresh = false;
    }
    bool FFresh = true;
};

void ProbeJson(TJson& J, const TProbe& P) {
    J.Open('{');
    J.Key("stack");
    J.Value(StackName(P.Stack));
    J.Key("answered");
    J.Bool(P.Answered);
    J.Key("status");
    P.Answered ? J.Int(P.Status) : J.Null();
    J.Key("reason");
    P.Answered ? J.Value(P.Reason) : J.Null();
    J.Key("protocol");
    J.TextOrNull(P.Protocol);
    J.Key("location");
    J.TextOrNull(P.Location);
    J.Key("redirects_followed");
    J.Int(P.Redirects);
    J.Key("followed_to");
    J.TextOrNull(P.FollowedTo);
    J.Key("compressed");
    P.Compressed ? J.Bool(*P.Compressed) : J.Null();
    J.Key("content_encoding");
    J.TextOrNull(P.Encoding);
    J.Key("failure");
    if (P.Answered) {
        J.Null();
    } else {
        J.Open('{');
        J.Key("category");
        J.Value(FailureName(P.Failure));
        J.Key("problem");
        J.TextOrNull(P.Problem);
        J.Key("message");
        J.Value(P.Message);
        J.Close('}');
    }
    J.Key("wall_ms");
    J.Number(P.WallMs);
    J.Key("phases_from");
    J.TextOrNull(P.TimesFrom);
    J.Key("phases_note");
    J.TextOrNull(P.TimesNote);
    J.Key("phases_ms");
    J.Open('{');
    for (int M = 0; M < MilestoneCount; ++M) {
        J.Key(MilestoneKey(static_cast<TMilestone>(M)));
        P.Moments[M].Kind == TMoment::Reached ? J.Number(P.Moments[M].Ms) : J.Null();
    }
    J.Close('}');
    J.Key("phases_untold");
    J.Open('[');
    for (int M = 0; M < MilestoneCount; ++M)
        if (P.Moments[M].Kind == TMoment::Untold) J.Value(MilestoneKey(static_cast<TMilestone>(M)));
    J.Close(']');
    J.Key("phase_failed");
    const auto Failed = std::find_if(P.Moments.begin(), P.Moments.end(),
                                     [](const TMoment& T) { return T.Kind == TMoment::Failed; });
    Failed == P.Moments.end()
        ? J.Null()
        : J.Value(MilestoneKey(static_cast<TMilestone>(Failed - P.Moments.begin())));
    J.Close('}');
}

}  // namespace

std::string FormatJson(const std::vector<TUrlReport>& Reports, const TOptions& Options) {
    TJson J;
    J.Open('{');
    J.Key("timeout_ms");
    J.Int(Options.TimeoutMs);
    J.Key("stacks");
    J.Open('[');
    if (Options.UseQt) J.Value("qt");
    if (Options.UseNimbra) J.Value("nimbra");
    J.Close(']');
    J.Key("nimbra_http2");
    J.Bool(Options.Http2);
    J.Key("exit_code");
    J.Int(RunExitCode(Reports));
    J.Key("urls");
    J.Open('[');
    for (const TUrlReport& R : Reports) {
        J.Open('{');
        J.Key("url");
        J.Value(R.Url);
        J.Key("results");
        J.Open('[');
        for (const TProbe& P : R.Probes) ProbeJson(J, P);
        J.Close(']');
        J.Key("verdict");
        J.Open('{');
        J.Key("compared");
        J.Bool(R.Verdict.Compared);
        J.Key("agree");
        J.Bool(R.Verdict.Agree);
        J.Key("text");
        J.Value(R.Verdict.Text);
        J.Key("note");
        J.TextOrNull(R.Verdict.Note);
        J.Close('}');
        J.Key("exit_code");
        J.Int(R.ExitCode);
        J.Close('}');
    }
    J.Close(']');
    J.Close('}');
    return J.Text + "\n";
}

}  // namespace Ostrel::Cli
