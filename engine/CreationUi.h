#pragma once

#include <string>

namespace pellatrix {

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
    /// The run's journal could not be kept, or not to its end: told once per run, the run
    /// goes on. The default says nothing.
    virtual void journalProblem(const std::string& /*text*/) {}
};

}  // namespace pellatrix
