#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pellatrix {

/// Where a failure of the run comes from: the list file as the input list names it and the
/// line (or NUL-ended entry) in it, counted from 1; line 0 when it belongs to the whole file,
/// no list when it belongs to none.
struct FailureSource {
    const std::string* list = nullptr;
    std::uint64_t line = 0;
};

/// Hears, beside whatever a front end shows, each failure of a run with where it comes from and
/// the end of each run (its journal closed, its summary final): what a front end needs to keep
/// the failed lines of a run. Called on the run's thread.
class RunListener {
public:
    virtual ~RunListener() = default;
    virtual void failed(const FailureSource& source) = 0;
    virtual void runEnded() = 0;
};

/// What became of one file of the run.
enum class FileOutcome { Created, Replaced, Skipped };

/// What the creation run needs of the window (or of any other front end). Texts are bytes.
class CreationUi {
public:
    virtual ~CreationUi() = default;

    /// Number of entries of the input list.
    virtual int entryCount() = 0;
    /// Text of entry `position` (1-based): the path of one list file. Throws when the position
    /// no longer exists (the list lost entries meanwhile).
    virtual std::string entryText(int position) = 0;
    /// The fixed text, as it stands at this moment.
    virtual std::string fixedText() = 0;
    virtual void showBusyPointer() = 0;
    virtual void showDefaultPointer() = 0;
    /// Progress from 0 to 100.
    virtual void setProgressValue(double percent) = 0;
    virtual void setProgressText(const std::string& text) = 0;
    /// A modal box with an OK button; returns when it is closed.
    virtual void showMessage(const std::string& text) = 0;
    /// Lets the front end handle its pending events.
    virtual void yield() = 0;
    /// The error report; returns when the user has closed it.
    virtual void reportError(const std::string& description, const std::string& location,
                             int line) = 0;
    /// The error report with the failure's number (0 when it has none). Front ends that show
    /// the number override it; the others get the report above.
    virtual void reportNumberedError(int /*number*/, const std::string& description,
                                     const std::string& location, int line) {
        reportError(description, location, line);
    }
    /// The error report with where the failure comes from. A front end that names list files and
    /// their lines overrides it; the others get the numbered report above.
    virtual void reportFailure(const FailureSource& /*source*/, int number,
                               const std::string& description, const std::string& location,
                               int line) {
        reportNumberedError(number, description, location, line);
    }

    /// True when list entries end in a NUL byte instead of a line break.
    virtual bool entriesEndInNul() { return false; }
    /// True when an existing file is to be left alone (counted as skipped) instead of replaced.
    virtual bool keepsExistingFiles() { return false; }
    /// True when the front end wants fileDone for every file; telling a created file from a
    /// replaced one costs one look-up per file.
    virtual bool wantsFileOutcomes() { return false; }
    /// One file was written or skipped; `path` is the path as written.
    virtual void fileDone(FileOutcome /*outcome*/, std::string_view /*path*/) {}
    /// File `file` of `total` is about to be written.
    virtual void fileProgress(std::size_t /*file*/, std::size_t /*total*/) {}
    /// The run's journal could not be kept, or not to its end: told once per run, the run
    /// goes on. The default says nothing.
    virtual void journalProblem(const std::string& /*text*/) {}

    /// Who hears of each failure and of each run's end besides the front end (none: nullptr).
    void setRunListener(RunListener* listener) { m_runListener = listener; }
    RunListener* runListener() const { return m_runListener; }

private:
    RunListener* m_runListener = nullptr;
};

}  // namespace pellatrix
