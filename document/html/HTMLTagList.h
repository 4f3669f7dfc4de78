#pragma once

// Every HTML tag that has a class, in the tag factory's registration order: the ordinary
// elements, those whose end tag is optional, then the void elements. A PLAIN row gets a
// generated class of its category with a default constructor only (KrHTMLTags.h); an OWN
// row names a class written by hand there, because it has own attributes, constructor
// arguments, mix-ins or behaviour of its own. The tag's class is KrHTML_<tag>2.
#define GRIDLO_HTML_TAGS(PLAIN, OWN)       \
    OWN(a)                                 \
    PLAIN(abbr, KrHTML_ElementType0)       \
    PLAIN(acronym, KrHTML_ElementType0)    \
    PLAIN(address, KrHTML_ElementType0)    \
    PLAIN(b, KrHTML_ElementType0)          \
    PLAIN(bdo, KrHTML_ElementType0)        \
    PLAIN(big, KrHTML_ElementType0)        \
    PLAIN(blockquote, KrHTML_ElementType0) \
    OWN(body)                              \
    OWN(button)                            \
    PLAIN(caption, KrHTML_ElementType0)    \
    PLAIN(cite, KrHTML_ElementType0)       \
    PLAIN(code, KrHTML_ElementType0)       \
    PLAIN(del, KrHTML_ElementType0)        \
    PLAIN(dfn, KrHTML_ElementType0)        \
    OWN(div)                               \
    PLAIN(dl, KrHTML_ElementType0)         \
    PLAIN(em, KrHTML_ElementType0)         \
    PLAIN(fieldset, KrHTML_ElementType0)   \
    OWN(form)                              \
    PLAIN(frameset, KrHTML_ElementType0)   \
    PLAIN(h1, KrHTML_ElementType0)         \
    OWN(h2)                                \
    PLAIN(h3, KrHTML_ElementType0)         \
    PLAIN(h4, KrHTML_ElementType0)         \
    PLAIN(h5, KrHTML_ElementType0)         \
    PLAIN(h6, KrHTML_ElementType0)         \
    PLAIN(head, KrHTML_ElementType0)       \
    PLAIN(html, KrHTML_ElementType0)       \
    PLAIN(i, KrHTML_ElementType0)          \
    OWN(iframe)                            \
    PLAIN(ins, KrHTML_ElementType0)        \
    PLAIN(kbd, KrHTML_ElementType0)        \
    OWN(label)                             \
    PLAIN(legend, KrHTML_ElementType0)     \
    PLAIN(map, KrHTML_ElementType0)        \
    PLAIN(menu, KrHTML_ElementType0)       \
    PLAIN(noframes, KrHTML_ElementType0)   \
    PLAIN(noscript, KrHTML_ElementType0)   \
    PLAIN(object, KrHTML_ElementType0)     \
    PLAIN(ol, KrHTML_ElementType0)         \
    PLAIN(optgroup, KrHTML_ElementType0)   \
    PLAIN(pre, KrHTML_ElementType0)        \
    PLAIN(q, KrHTML_ElementType0)          \
    PLAIN(s, KrHTML_ElementType0)          \
    PLAIN(samp, KrHTML_ElementType0)       \
    OWN(script)                            \
    OWN(select)                            \
    PLAIN(small, KrHTML_ElementType0)      \
    OWN(span)                              \
    PLAIN(strong, KrHTML_ElementType0)     \
    OWN(style)                             \
    PLAIN(sub, KrHTML_ElementType0)        \
    PLAIN(sup, KrHTML_ElementType0)        \
    PLAIN(table, KrHTML_ElementType0)      \
    PLAIN(textarea, KrHTML_ElementType0)   \
    OWN(title)                             \
    PLAIN(tt, KrHTML_ElementType0)         \
    PLAIN(ul, KrHTML_ElementType0)         \
    PLAIN(var, KrHTML_ElementType0)        \
    PLAIN(article, KrHTML_ElementType0)    \
    PLAIN(aside, KrHTML_ElementType0)      \
    PLAIN(audio, KrHTML_ElementType0)      \
    PLAIN(bdi, KrHTML_ElementType0)        \
    PLAIN(details, KrHTML_ElementType0)    \
    PLAIN(dialog, KrHTML_ElementType0)     \
    PLAIN(figcaption, KrHTML_ElementType0) \
    PLAIN(footer, KrHTML_ElementType0)     \
    PLAIN(header, KrHTML_ElementType0)     \
    PLAIN(hgroup, KrHTML_ElementType0)     \
    PLAIN(main, KrHTML_ElementType0)       \
    PLAIN(mark, KrHTML_ElementType0)       \
    PLAIN(nav, KrHTML_ElementType0)        \
    PLAIN(rp, KrHTML_ElementType0)         \
    PLAIN(rt, KrHTML_ElementType0)         \
    PLAIN(ruby, KrHTML_ElementType0)       \
    PLAIN(section, KrHTML_ElementType0)    \
    PLAIN(summary, KrHTML_ElementType0)    \
    PLAIN(time, KrHTML_ElementType0)       \
    PLAIN(u, KrHTML_ElementType0)          \
    PLAIN(video, KrHTML_ElementType0)      \
    PLAIN(datalist, KrHTML_ElementType0)   \
    PLAIN(canvas, KrHTML_ElementType0)     \
    PLAIN(meter, KrHTML_ElementType0)      \
    PLAIN(menuitem, KrHTML_ElementType0)   \
    PLAIN(output, KrHTML_ElementType0)     \
    OWN(progress)                          \
    PLAIN(tbody, KrHTML_ElementType0)      \
    PLAIN(colgroup, KrHTML_ElementType1)   \
    PLAIN(dd, KrHTML_ElementType1)         \
    PLAIN(dt, KrHTML_ElementType1)         \
    PLAIN(li, KrHTML_ElementType1)         \
    OWN(option)                            \
    OWN(p)                                 \
    PLAIN(td, KrHTML_ElementType1)         \
    PLAIN(tfoot, KrHTML_ElementType1)      \
    PLAIN(th, KrHTML_ElementType1)         \
    PLAIN(thead, KrHTML_ElementType1)      \
    PLAIN(tr, KrHTML_ElementType1)         \
    PLAIN(area, KrHTML_ElementType2)       \
    PLAIN(base, KrHTML_ElementType2)       \
    PLAIN(br, KrHTML_ElementType2)         \
    PLAIN(col, KrHTML_ElementType2)        \
    PLAIN(frame, KrHTML_ElementType2)      \
    PLAIN(hr, KrHTML_ElementType2)         \
    OWN(img)                               \
    OWN(input)                             \
    OWN(link)                              \
    OWN(meta)                              \
    PLAIN(param, KrHTML_ElementType2)      \
    PLAIN(wbr, KrHTML_ElementType2)        \
    PLAIN(embed, KrHTML_ElementType2)      \
    PLAIN(keygen, KrHTML_ElementType2)     \
    PLAIN(source, KrHTML_ElementType2)     \
    PLAIN(track, KrHTML_ElementType2)
