#pragma once

#include <string>
#include <string_view>

#include "document/html/KrHTML_BaseElement2.h"

// Text in an HTML page, written as it is held: no tags, nothing escaped, so a text may
// carry ready-made markup. It is the one HTML node that is not a block, and it takes no
// children.
class KrHTML_text2 : public KrHTML_BaseElement2 {
public:
    explicit KrHTML_text2(std::string_view text = {});

    bool isText() const override { return true; }
    void innerText(std::ostream& out) const override { out << text_; }
    void write(std::ostream& out) const override;
    virtual void setText(std::string_view text) { text_ = text; }

private:
    std::string text_;
};
