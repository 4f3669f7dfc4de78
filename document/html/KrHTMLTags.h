#pragma once

#include <string>
#include <string_view>

#include "document/html/HTMLTagList.h"
#include "document/html/KrHTML_ElementTypes.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/MarkupOutput.h"

// One class per HTML tag. Own attributes are typed attributes that the constructor stores
// unset in the attribute map, where the writer, getAttribute and setAttribute reach them;
// an unset one is not written, a set one is, also with an empty value. Constructor
// arguments marked "when non-empty" are applied only when they are not empty; the others
// always. Every class copies itself (copyTree).

// The classes of the PLAIN rows of the tag table.
// clang-format off
#define GRIDLO_DECLARE_PLAIN_TAG(tag, category)                         \
    class KrHTML_##tag##2 : public category {                           \
    public:                                                             \
        KrHTML_##tag##2() : KrHTML_BaseElement2(#tag, false, false) {}  \
                                                                        \
    protected:                                                          \
        GRIDLO_NODE_COPY(KrHTML_##tag##2)                               \
    };
// clang-format on
#define GRIDLO_OWN_TAG_IS_BELOW(tag)
GRIDLO_HTML_TAGS(GRIDLO_DECLARE_PLAIN_TAG, GRIDLO_OWN_TAG_IS_BELOW)
#undef GRIDLO_DECLARE_PLAIN_TAG
#undef GRIDLO_OWN_TAG_IS_BELOW

// The classes of the OWN rows, in table order.

class KrHTML_a2 : public KrHTML_ElementType0 {
public:
    KrHTML_a2();
    // Sets "href" and adds the text as a text child, both also when empty.
    KrHTML_a2(std::string_view href, std::string_view text);

protected:
    GRIDLO_NODE_COPY(KrHTML_a2)
};

class KrHTML_body2 : public KrHTML_ElementType0,
                     public KrHTML_ElementType0A,
                     public KrHTML_ElementType0B,
                     public KrHTML_ElementType0C {
public:
    KrHTML_body2() : KrHTML_BaseElement2("body", false, false) {}

protected:
    GRIDLO_NODE_COPY(KrHTML_body2)
};

class KrHTML_button2 : public KrHTML_ElementType0,
                       public KrHTML_ElementType0A,
                       public KrHTML_ElementType0B {
public:
    KrHTML_button2() : KrHTML_BaseElement2("button", false, false) {}

protected:
    GRIDLO_NODE_COPY(KrHTML_button2)
};

class KrHTML_div2 : public KrHTML_ElementType0,
                    public KrHTML_ElementType0A,
                    public KrHTML_ElementType0B,
                    public KrHTML_ElementType0C {
public:
    // id when non-empty; a draggable div starts a drag on a mouse press.
    KrHTML_div2(std::string_view id, bool draggable);

protected:
    GRIDLO_NODE_COPY(KrHTML_div2)
};

class KrHTML_form2 : public KrHTML_ElementType0,
                     public KrHTML_ElementType0A,
                     public KrHTML_ElementType0B {
public:
    // Each when non-empty.
    KrHTML_form2(std::string_view action, std::string_view method);

protected:
    GRIDLO_NODE_COPY(KrHTML_form2)
};

class KrHTML_h22 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
public:
    KrHTML_h22() : KrHTML_BaseElement2("h2", false, false) {}

protected:
    GRIDLO_NODE_COPY(KrHTML_h22)
};

class KrHTML_iframe2 : public KrHTML_ElementType0 {
public:
    // The three attributes when non-empty; the text as a text child always.
    KrHTML_iframe2(std::string_view src, std::string_view width, std::string_view height,
                   std::string_view text);

protected:
    GRIDLO_NODE_COPY(KrHTML_iframe2)
};

class KrHTML_label2 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
public:
    // "for" when non-empty; a non-empty text becomes the one text child.
    KrHTML_label2(std::string_view forId, std::string_view text);

protected:
    GRIDLO_NODE_COPY(KrHTML_label2)
};

class KrHTML_script2 : public KrHTML_ElementType0 {
public:
    // "type" is "text/javascript".
    KrHTML_script2();
    // "src" when non-empty; a non-empty text becomes the script's body.
    KrHTML_script2(std::string_view src, std::string_view text);

protected:
    GRIDLO_NODE_COPY(KrHTML_script2)

    // The body stands inside an HTML comment, also when there is none.
    void beforeChildren(std::ostream& out) const override { kr::writeMarkup(out, "\n<!--\n"); }
    void afterChildren(std::ostream& out) const override { kr::writeMarkup(out, "\n//-->\n"); }
};

class KrHTML_select2 : public KrHTML_ElementType0 {
public:
    // "name" always, as a plain attribute; id when non-empty.
    KrHTML_select2(std::string_view id, std::string_view name);

protected:
    GRIDLO_NODE_COPY(KrHTML_select2)
};

class KrHTML_span2 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
public:
    KrHTML_span2() : KrHTML_BaseElement2("span", false, false) {}

protected:
    GRIDLO_NODE_COPY(KrHTML_span2)
};

// A style sheet in the page. Its content is read in the grammar "css" and holds CSS nodes.
class KrHTML_style2 : public KrHTML_ElementType0 {
public:
    // "type" is "text/css".
    KrHTML_style2();

    std::string contentDTD(std::string_view name) override;

protected:
    GRIDLO_NODE_COPY(KrHTML_style2)

    // Rules, media queries, "<!--" wrappers, text and whitespace; anything else throws
    // KrException 1094 and stays linked.
    void checkChild(KrXMLComplexElement* child) override;
};

class KrHTML_title2 : public KrHTML_ElementType0 {
public:
    KrHTML_title2() : KrHTML_BaseElement2("title", false, false) {}
    // The text as a text child, also when empty.
    explicit KrHTML_title2(std::string_view text);

protected:
    GRIDLO_NODE_COPY(KrHTML_title2)
};

class KrHTML_progress2 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
public:
    KrHTML_progress2();

protected:
    GRIDLO_NODE_COPY(KrHTML_progress2)
};

class KrHTML_option2 : public KrHTML_ElementType1 {
public:
    // "value" always; a selected option has "selected" = true, another none at all; the
    // text as a text child, also when empty.
    KrHTML_option2(std::string_view value, std::string_view text, bool selected);

protected:
    GRIDLO_NODE_COPY(KrHTML_option2)
};

class KrHTML_p2 : public KrHTML_ElementType1,
                  public KrHTML_ElementType0A,
                  public KrHTML_ElementType0B,
                  public KrHTML_ElementType0C {
public:
    KrHTML_p2() : KrHTML_BaseElement2("p", false, false) {}

protected:
    GRIDLO_NODE_COPY(KrHTML_p2)
};

class KrHTML_img2 : public KrHTML_ElementType2 {
public:
    // Each when non-empty.
    KrHTML_img2(std::string_view src, std::string_view alt, std::string_view title);

protected:
    GRIDLO_NODE_COPY(KrHTML_img2)
};

class KrHTML_input2 : public KrHTML_ElementType2 {
public:
    KrHTML_input2();

protected:
    GRIDLO_NODE_COPY(KrHTML_input2)
};

// A hidden form field.
class KrHTML_input2_hidden : public KrHTML_input2 {
public:
    // id when non-empty; "value", "type" = "hidden" and "name" always.
    KrHTML_input2_hidden(std::string_view id, std::string_view value, std::string_view name);

protected:
    GRIDLO_NODE_COPY(KrHTML_input2_hidden)
};

// A style sheet link: "type" is "text/css" and "rel" "stylesheet".
class KrHTML_link2 : public KrHTML_ElementType2 {
public:
    // href when non-empty.
    explicit KrHTML_link2(std::string_view href);

protected:
    GRIDLO_NODE_COPY(KrHTML_link2)
};

class KrHTML_meta2 : public KrHTML_ElementType2 {
public:
    // A non-empty text such as charset="utf-8" is set through setAttributeText.
    explicit KrHTML_meta2(std::string_view attributeText);

protected:
    GRIDLO_NODE_COPY(KrHTML_meta2)
};
