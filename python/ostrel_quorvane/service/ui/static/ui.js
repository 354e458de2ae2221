// Conveniences only: every page works without this file.
// A change of level in the filters applies it at once.
document.querySelectorAll("select[data-submit]").forEach((select) => {
  select.addEventListener("change", () => select.form.submit());
});
