// mupdf's own judgement of a signed PDF, for the tests: for every signed signature widget, its
// field's name, how many saves ago mupdf finds the document changed beyond what the signature
// allows (0: never since it was made), and whether its digest is sound ("OK").
// Run: mutool run mutool-validate.js FILE.pdf
var doc = new PDFDocument(scriptArgs[0]);
for (var i = 0; i < doc.countPages(); ++i) {
    var widgets = doc.loadPage(i).getWidgets();
    for (var j = 0; j < widgets.length; ++j) {
        var w = widgets[j];
        if (w.getFieldType() == "signature" && w.isSigned()) {
            print(w.getLabel() + " " + w.validateSignature() + " " + w.checkDigest());
        }
    }
}
