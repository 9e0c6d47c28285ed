#pragma once
// The dialog seam as the tests answer it: records every box, question, save dialog and editor
// start, and answers from what the test set up.

#include "app/Dialogs.h"

#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct DialogLog {
    QStringList messages;     // texts of the OK boxes, in order
    QStringList questions;    // texts of the Yes/No questions
    std::deque<bool> answers; // next answers to questions; Yes when empty
    std::vector<SaveDialogRequest> saveRequests;
    std::optional<QString> saveAnswer; // the chosen file, or nothing for Cancel
    std::vector<PeriodRequest> periodRequests;
    std::optional<PeriodChoice> periodAnswer; // nothing: Cancel
    QStringList editorStarts;
    bool editorStarts_ok = true;
    // Runs while a box is "shown", as the user's time in front of it.
    std::function<void(const QString&)> onMessage;
};

class FakeDialogs : public Dialogs {
public:
    explicit FakeDialogs(std::shared_ptr<DialogLog> log) : log_(std::move(log)) {}

    void MsgBox(const QString& text) override {
        log_->messages << text;
        if (log_->onMessage)
            log_->onMessage(text);
    }
    bool AskYesNo(const QString& text) override {
        log_->questions << text;
        if (log_->answers.empty())
            return true;
        const bool answer = log_->answers.front();
        log_->answers.pop_front();
        return answer;
    }
    std::optional<QString> ShowSave(const SaveDialogRequest& request) override {
        log_->saveRequests.push_back(request);
        return log_->saveAnswer;
    }
    std::optional<PeriodChoice> ChoosePeriod(const PeriodRequest& request) override {
        log_->periodRequests.push_back(request);
        return log_->periodAnswer;
    }
    bool StartEditor(const QString& path) override {
        log_->editorStarts << path;
        return log_->editorStarts_ok;
    }

private:
    std::shared_ptr<DialogLog> log_;
};
