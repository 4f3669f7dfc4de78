#pragma once

#include <string>
#include <string_view>

#include "document/html/KrHTML_BaseElement2.h"
#include "foundation/SharedText.h"

// Text in an HTML page, written as it is held: no tags, nothing escaped, so a text may
// carry ready-made markup. It is the one HTML node that is not a block, and it takes no
// children.
class KrHTML_text2 : public KrHTML_BaseElement2 {
public:
    explicit KrHTML_text2(std::string_view text = {});

    bool isText() const override { return true; }
    void innerText(std::ostream& out) const override { out << text_.view(); }
    void write(std::ostream& out) const override;
    virtual void setText(std::string_view text) { text_ = kr::SharedText(text); }

protected:
    GRIDLO_NODE_COPY(KrHTML_text2)

private:
    kr::SharedText text_;
};
