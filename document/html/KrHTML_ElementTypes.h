#pragma once

#include <string>
#include <string_view>

#include "document/html/KrHTML_BaseElement2.h"

// The categories and mix-ins of the tag classes. Every tag class derives from one category
// and perhaps some mix-ins, all virtually from KrHTML_BaseElement2; the tag class itself,
// as the most derived one, builds that base with its tag name, and the constructors below
// never run their own base initialiser.

// An element written with start and end tag, also when empty.
class KrHTML_ElementType0 : public virtual KrHTML_BaseElement2 {
protected:
    KrHTML_ElementType0() : KrHTML_BaseElement2("htmlbaseelement", false, false) {}
};

// An element whose end tag is optional in HTML; built and written like category 0.
class KrHTML_ElementType1 : public virtual KrHTML_BaseElement2 {
protected:
    KrHTML_ElementType1() : KrHTML_BaseElement2("htmlbaseelement", false, false) {}
};

// A void element: a leaf, always written in the short form, refusing children.
class KrHTML_ElementType2 : public virtual KrHTML_BaseElement2 {
protected:
    KrHTML_ElementType2() : KrHTML_BaseElement2("htmlbaseelement", false, false) { setLeaf(true); }
};

// An element that takes text directly: every appendText adds one text child.
class KrHTML_ElementType0A : public virtual KrHTML_BaseElement2 {
public:
    void appendText(std::string_view text);
    // Adds the collected text as one text child, an empty one when nothing was collected.
    // appendText hands on what it collects at once, so nothing is ever collected here.
    void flushText();

protected:
    KrHTML_ElementType0A() : KrHTML_BaseElement2("htmlbaseelement", false, false) {}
};

// Markers without data or behaviour of their own.
class KrHTML_ElementType0B : public virtual KrHTML_BaseElement2 {
protected:
    KrHTML_ElementType0B() : KrHTML_BaseElement2("htmlbaseelement", false, false) {}
};

class KrHTML_ElementType0C : public virtual KrHTML_BaseElement2 {
protected:
    KrHTML_ElementType0C() : KrHTML_BaseElement2("htmlbaseelement", false, false) {}
};
